package com.zelt.tests.hostnodomain;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTimeout;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.time.Duration;
import org.junit.jupiter.api.Test;

/** A host with no NIS domain set (the kernel reports "(none)") and no ypserv. */
class NoDomainTest {
    private static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    @Test
    void domainIsTheEmptyString() {
        assertNull(System.getenv("SANDBOX_DOMAIN"), "run inside tests/sandbox/sandbox.sh --no-domain");
        assertEquals("", LIB.getDomain());
        assertEquals("", LIB.getDomain());
    }

    @Test
    void masterWithoutAnyNisServerIsTheEmptyString() {
        assertTimeout(Duration.ofSeconds(60), () -> {
            assertEquals("", LIB.nisGetMaster("sandbox.test", "hosts.byname"));
            assertEquals("", LIB.nisGetMaster("(none)", "hosts.byname"));
        });
    }
}

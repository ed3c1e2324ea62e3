package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.LIB;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTimeout;

import com.zelt.tests.support.Processes;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributeView;
import java.nio.file.attribute.FileTime;
import java.time.Duration;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * getDomain and nisGetMaster inside the sandbox, whose NIS domain is served by
 * a real ypserv with maps hosts.byname and passwd.byname.
 */
class DomainAndMasterTest {
    private static String domain;
    private static String master;

    @BeforeAll
    static void sandbox() {
        domain = System.getenv("SANDBOX_DOMAIN");
        master = System.getenv("SANDBOX_YP_MASTER");
        assertNotNull(domain, "run inside tests/sandbox/sandbox.sh --yp");
        assertNotNull(master, "run inside tests/sandbox/sandbox.sh --yp");
    }

    @Test
    void domainIsTheHostsNisDomain() {
        assertEquals(domain, LIB.getDomain());
        assertEquals("sandbox.test", LIB.getDomain());
    }

    /** The name is decoded from UTF-8 and a name of the kernel's full 64 bytes fits. */
    @Test
    void domainNamesAreDecodedWhole() {
        try {
            setDomain("d\\303\\266main-\\360\\235\\204\\236.test");
            assertEquals("d\u00f6main-\ud834\udd1e.test", LIB.getDomain());
            String longest = "a".repeat(59) + ".test";
            setDomain(longest);
            assertEquals(longest, LIB.getDomain());
        } finally {
            setDomain(domain);
        }
        assertEquals(domain, LIB.getDomain());
    }

    /** Sets this sandbox's own NIS domain; the shell writes escaped bytes itself. */
    private static void setDomain(String escaped) {
        Processes.Result r = Processes.run("sh", "-c", "domainname \"$(printf \"$1\")\"", "sh", escaped);
        assertEquals(0, r.exitCode(), r.stderr());
    }

    @Test
    void masterOfExistingMaps() {
        assertEquals(master, LIB.nisGetMaster(domain, "hosts.byname"));
        assertEquals(master, LIB.nisGetMaster(domain, "passwd.byname"));
    }

    @Test
    void everyFailureIsTheEmptyString() {
        assertTimeout(Duration.ofSeconds(60), () -> {
            assertEquals("", LIB.nisGetMaster(domain, "no.such.map"));
            assertEquals("", LIB.nisGetMaster("unknown.test", "hosts.byname"));
            assertEquals("", LIB.nisGetMaster("", "hosts.byname"));
            assertEquals("", LIB.nisGetMaster(domain, ""));
        });
    }

    @Test
    void nullOrEmbeddedNulIsTheEmptyString() {
        assertEquals("", LIB.nisGetMaster(null, "hosts.byname"));
        assertEquals("", LIB.nisGetMaster(domain, null));
        assertEquals("", LIB.nisGetMaster(null, null));
        // The text before U+0000 names a real domain and map.
        assertEquals("", LIB.nisGetMaster(domain + "\u0000x", "hosts.byname"));
        assertEquals("", LIB.nisGetMaster(domain, "hosts.byname\u0000x"));
    }

    /**
     * A local user plants a binding file naming a server of their choosing
     * and passes a domain that leads libnsl's binding file name to it, or one
     * long enough to overflow libnsl's stack. Neither reaches libnsl: the
     * planted file is never read and the JVM lives on.
     */
    @Test
    void domainsAndMapsThatLeaveTheBindingFolderAreRefused(@TempDir Path planted) throws Exception {
        Path binding = Files.write(planted.resolve("evil.2"), new byte[] {0, 0, 1, 0, 0, 0, 127, 0, 0, 1, 0, 0, 0, 0});
        // A read moves the access time while it is older than the file's last change.
        var times = Files.getFileAttributeView(binding, BasicFileAttributeView.class);
        times.setTimes(null, FileTime.fromMillis(0), null);
        Files.readAllBytes(binding);
        assertNotEquals(0, times.readAttributes().lastAccessTime().toMillis(), "reads leave no access time here");
        times.setTimes(null, FileTime.fromMillis(0), null);
        String[][] refused = {{"../../.." + planted + "/evil", "hosts.byname"}, {"a".repeat(2 << 20), "hosts.byname"},
            {"a".repeat(257), "hosts.byname"}, {"..", "hosts.byname"}, {".", "hosts.byname"}, {domain, "a".repeat(65)},
            {domain, "../" + domain + "/hosts.byname"}};
        for (String[] r : refused) {
            assertEquals("", LIB.nisGetMaster(r[0], r[1]), r[0].substring(0, Math.min(r[0].length(), 40)) + " " + r[1]);
        }
        assertEquals(0, times.readAttributes().lastAccessTime().toMillis(), "the planted binding file was read");
        assertEquals(master, LIB.nisGetMaster(domain, "hosts.byname"));
    }

    /** Master names are decoded as UTF-8; a byte that is not UTF-8 reads as Latin-1. */
    @Test
    void masterNamesAreDecodedFromUtf8() throws Exception {
        Path mapDir = Path.of("/var/yp", domain);
        // Maps are only ever added to the sandbox's private /var/yp.
        assertEquals("tmpfs", Files.getFileStore(mapDir).type(), "not the sandbox's /var/yp");
        Path utf8Map = mapDir.resolve("utf8.byname");
        Path latin1Map = mapDir.resolve("latin1.byname");
        try {
            // The shell writes the bytes itself: m, a-umlaut, G clef (U+1D11E).
            makeMap(utf8Map, "m\\303\\244ster-\\360\\235\\204\\236." + domain);
            makeMap(latin1Map, "m\\344ster." + domain);
            assertEquals("m\u00e4ster-\ud834\udd1e." + domain, LIB.nisGetMaster(domain, "utf8.byname"));
            assertEquals("m\u00e4ster." + domain, LIB.nisGetMaster(domain, "latin1.byname"));
        } finally {
            Files.deleteIfExists(utf8Map);
            Files.deleteIfExists(latin1Map);
        }
    }

    private static void makeMap(Path map, String masterEscaped) {
        Processes.Result r = Processes.run("sh", "-c",
                "echo 'k v' | /usr/lib/yp/makedbm -m \"$(printf \"$1\")\" - \"$2\"", "sh",
                masterEscaped, map.toString());
        assertEquals(0, r.exitCode(), r.stderr());
    }
}

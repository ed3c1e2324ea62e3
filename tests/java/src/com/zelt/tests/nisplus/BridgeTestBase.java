package com.zelt.tests.nisplus;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.tests.support.NisplusServer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;

/**
 * Shared ground of the bridge tests: the library, a directory of their own
 * (bridge.DOMAIN.) with a known owner and group, fresh table names, seed text
 * for tables and entries, and a registry left empty after every test.
 */
abstract class BridgeTestBase {
    static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();
    static final String OWNER = "bridge-owner.sandbox.test.";
    static final String GROUP = "bridge-group.sandbox.test.";
    static final int MAX_SESSIONS = 32;

    // Statuses of the NIS+ client library, and the bridge's own refusals.
    static final int NIS_NOTFOUND = 2;
    static final int NIS_NOMEMORY = 13;
    static final int NIS_NAMEEXISTS = 14;
    static final int NIS_BADNAME = 17;
    static final int NIS_NOSUCHTABLE = 23;
    static final int NIS_TYPEMISMATCH = 24;
    static final int NIS_BADATTRIBUTE = 29;
    static final int NIS_BADOBJECT = 33;
    static final int NIS_BADREQUEST = 36;
    static final int EN_MODIFIED = 8;

    private static final AtomicInteger SERIAL = new AtomicInteger();

    static String dir() {
        return "bridge." + NisplusServer.directory();
    }

    /**
     * The directory, and its group with this JVM's principal (the tests run as
     * root) as a member: the group's rights let the tests create tables there
     * at any security level.
     */
    @BeforeAll
    static void createDirectory() {
        String me = NisplusServer.principal(0);
        NisplusServer.load("directory " + dir() + " owner=\"" + OWNER + "\" group=\"" + GROUP
                + "\" access=0x010f0f01 ttl=3600\n"
                + "group bridge-group.groups_dir." + NisplusServer.directory() + " \"" + me + "\"\n");
    }

    @AfterEach
    void releaseEverything() {
        for (int h = 0; h < MAX_SESSIONS; h++) {
            LIB.nisplusCloseTable(h);
        }
        NisplusServer.clearFaults();
    }

    /** A table name no other test uses, in the bridge directory. */
    static String newName(String label) {
        return label + SERIAL.incrementAndGet() + "." + dir();
    }

    static byte[] utf8(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    /** Every row of an iteration from get-first to the null of get-next. */
    static List<List<String>> iterate(int handle, String criteria) {
        List<List<String>> rows = new ArrayList<>();
        for (String[] r = LIB.nisplusGetFirstEntry(handle, criteria); r != null;
                r = LIB.nisplusGetNextEntry(handle)) {
            rows.add(List.of(r));
        }
        return rows;
    }

    /** Runs action and returns the requests the server got meanwhile. */
    static List<NisplusServer.Request> requestsDuring(Runnable action) {
        NisplusServer.clearLog();
        action.run();
        return NisplusServer.requests();
    }

    /** Seed text for tables and entries of the bridge directory. */
    static final class Seed {
        private final StringBuilder text = new StringBuilder();

        /** A table; a column name starting with '*' is searchable. */
        Seed table(String name, String type, int access, String... columns) {
            text.append("table ").append(name).append(" type=").append(NisplusServer.quote(utf8(type)))
                    .append(" access=").append(access).append(" sep=0x20\n");
            for (String c : columns) {
                boolean searchable = c.startsWith("*");
                text.append("column ").append(searchable ? c.substring(1) : c).append(" flags=")
                        .append(searchable ? 8 : 0).append('\n');
            }
            return this;
        }

        /** An entry whose values are stored as a client stores them: UTF-8 and a NUL. */
        Seed entry(String table, String... values) {
            text.append("entry ").append(table);
            for (String v : values) {
                text.append(' ').append(NisplusServer.quoteWithNul(v));
            }
            text.append('\n');
            return this;
        }

        /** An entry written as raw seed value tokens ("\"a\\0\"", "null", ...). */
        Seed rawEntry(String table, String... tokens) {
            text.append("entry ").append(table);
            for (String t : tokens) {
                text.append(' ').append(t);
            }
            text.append('\n');
            return this;
        }

        void load() {
            NisplusServer.load(text.toString());
        }
    }

    /** Creates a table of the given columns holding the given rows; returns its name. */
    static String tableWith(String label, String type, String[] columns, String[]... rows) {
        String name = newName(label);
        Seed seed = new Seed().table(name, type, 0x010f0f01, columns);
        for (String[] r : rows) {
            seed.entry(name, r);
        }
        seed.load();
        return name;
    }
}

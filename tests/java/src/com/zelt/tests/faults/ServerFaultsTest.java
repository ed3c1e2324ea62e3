package com.zelt.tests.faults;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTimeout;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.tests.support.NisplusServer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.MethodOrderer;
import org.junit.jupiter.api.Order;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestMethodOrder;

/**
 * The bridge against a NIS+ server that misbehaves: answers each error
 * status, NIS_S_SUCCESS, or a lookup without an object; is stopped
 * (SIGSTOP) and continued; is killed in the middle of an iteration and
 * started again. Every call must come back within the client's time budget
 * with its family's failure value, a kept listing must keep serving, and
 * handles taken before the trouble must work once the server is back.
 */
@TestMethodOrder(MethodOrderer.OrderAnnotation.class)
class ServerFaultsTest {
    static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();
    // Error statuses a server may answer: not found, unreachable, out of
    // memory, name exists, no such name, no such table, bad request, service
    // unavailable; and numbers no server sends (past the last status,
    // 0xFFFFFFFB, 0x80000000), which reach the caller as NIS_RPCERROR.
    static final int[] STATUSES = {2, 5, 13, 14, 20, 23, 36, 41, 77, -5, Integer.MIN_VALUE};

    // The status the caller sees for one the server answered.
    static int reported(int status) {
        return status >= 0 && status <= 47 ? status : 28;
    }
    // Far above what a healthy call costs (about a millisecond), far below a
    // hang: the client ends every call within 5 s.
    static final Duration BOUND = Duration.ofSeconds(20);
    static final AtomicInteger SERIAL = new AtomicInteger();
    static int faultsSurvived;

    static String dir;
    static String small;
    static String hosts;

    @BeforeAll
    static void setUp() {
        dir = "faults." + NisplusServer.directory();
        small = "small.org_dir." + NisplusServer.directory();
        hosts = "hosts.org_dir." + NisplusServer.directory();
        // Owned by this JVM's principal (the tests run as root), so that it
        // may change the directory at any security level.
        NisplusServer.load("directory " + dir + " owner=\"" + NisplusServer.principal(0)
                + "\" group=\"g.sandbox.test.\" access=0x010f0f01 ttl=3600\n");
    }

    @BeforeEach
    @AfterEach
    void clean() {
        NisplusServer.clearFaults();
        for (int h = 0; h < 32; h++) {
            LIB.nisplusCloseTable(h);
        }
    }

    /** A fresh two-column table (key searchable) holding rows key0..key(n-1). */
    static String table(int rows) {
        String name = "t" + SERIAL.incrementAndGet() + "." + dir;
        StringBuilder seed = new StringBuilder("table " + name
                + " type=\"f_tbl\" access=0x010f0f01 sep=0x20\ncolumn key flags=8\ncolumn value flags=0\n");
        for (int i = 0; i < rows; i++) {
            seed.append("entry ").append(name).append(" \"key").append(i).append("\\0\" \"value")
                    .append(i).append("\\0\"\n");
        }
        NisplusServer.load(seed.toString());
        return name;
    }

    static int open(String name) {
        int h = LIB.nisplusOpenTable(name, "f_tbl");
        assertTrue(h >= 0 && h < 32, "open " + name + ": " + h);
        return h;
    }

    static void fault(String proc, String result) {
        // Enough answers for every server and every retry of one call.
        NisplusServer.fault(proc, 100, result, null);
        faultsSurvived++;
    }

    static List<String> keys(String[] flat) {
        List<String> out = new ArrayList<>();
        for (int i = 0; flat != null && i < flat.length; i += 2) {
            out.add(flat[i]);
        }
        return out;
    }

    @Test
    @Order(1)
    void everyErrorStatusComesBackAsItsFamilysFailureValue() {
        for (int status : STATUSES) {
            String s = Integer.toString(status);
            String t = table(2);
            int h = open(t);

            fault("NIS_LOOKUP", s);
            assertEquals(status == 2 ? -23 : -reported(status), LIB.nisplusOpenTable(t, "f_tbl"),
                    "open, status " + s);
            assertEquals(-1, LIB.nisplusAccess(t, 16), "access, status " + s);
            String newTable = "n" + SERIAL.incrementAndGet() + "." + dir;
            assertEquals(-reported(status),
                    LIB.nisplusAddTable(newTable, "n_tbl", 0, new String[] {"Sk"}, (byte) ' '),
                    "add-table lookup, status " + s);
            NisplusServer.clearFaults();
            assertFalse(NisplusServer.exists(newTable));

            fault("NIS_ADD", s);
            assertEquals(-reported(status),
                    LIB.nisplusAddTable(newTable, "n_tbl", 0, new String[] {"Sk"}, (byte) ' '),
                    "add-table, status " + s);
            NisplusServer.clearFaults();
            assertFalse(NisplusServer.exists(newTable));

            fault("NIS_REMOVE", s);
            assertEquals(-reported(status), LIB.nisplusDeleteTable(t), "delete-table, status " + s);
            NisplusServer.clearFaults();
            assertTrue(NisplusServer.exists(t));

            fault("NIS_IBLIST", s);
            assertNull(LIB.nisplusGetFirstEntry(h, ""), "get-first, status " + s);
            assertNull(LIB.nisplusGetNextEntry(h), "get-next after a failed get-first");
            assertNull(LIB.nisplusGetAllEntries(h, ""), "get-all, status " + s);
            NisplusServer.clearFaults();

            fault("NIS_IBADD", s);
            assertEquals(reported(status), LIB.nisplusAddEntry(h, new String[] {"new", "x"}),
                    "add, status " + s);
            fault("NIS_IBMODIFY", s);
            assertEquals(reported(status),
                    LIB.nisplusModifyEntry(h, "[key=key0],", -1, new String[] {"key0", "y"}),
                    "modify, status " + s);
            fault("NIS_IBREMOVE", s);
            assertEquals(reported(status), LIB.nisplusDeleteEntry(h, "[key=key1],"),
                    "delete, status " + s);
            NisplusServer.clearFaults();

            // Nothing was carried out, and the session is as good as new.
            assertEquals(List.of("key0", "key1"), keys(LIB.nisplusGetAllEntries(h, "")));
            assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
            assertArrayEquals(new String[] {"key1", "value1"}, LIB.nisplusGetNextEntry(h));
            assertNull(LIB.nisplusGetNextEntry(h));
            assertNotNull(LIB.nisplusGetErrorString(status));
            LIB.nisplusCloseTable(h);
        }
    }

    @Test
    @Order(2)
    void successWithoutObjectsAndPartialSuccess() {
        String t = table(3);
        int h = open(t);

        // NIS_S_SUCCESS: carried out. Lookups and listings count it as success,
        // updates return it raw, add-table and delete-table negate it.
        fault("NIS_LOOKUP", "S_SUCCESS");
        int h2 = LIB.nisplusOpenTable(t, "f_tbl");
        assertTrue(h2 >= 0 && h2 != h, "open on S_SUCCESS: " + h2);
        assertEquals(0, LIB.nisplusAccess(t, 16), "access on S_SUCCESS");
        NisplusServer.clearFaults();
        fault("NIS_IBLIST", "S_SUCCESS");
        assertEquals(List.of("key0", "key1", "key2"), keys(LIB.nisplusGetAllEntries(h, "")));
        assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
        NisplusServer.clearFaults();
        fault("NIS_IBADD", "S_SUCCESS");
        assertEquals(1, LIB.nisplusAddEntry(h, new String[] {"key3", "value3"}));
        fault("NIS_IBMODIFY", "S_SUCCESS");
        assertEquals(1, LIB.nisplusModifyEntry(h, "[key=key3],", 2, new String[] {"ignored", "v3"}));
        fault("NIS_IBREMOVE", "S_SUCCESS");
        assertEquals(1, LIB.nisplusDeleteEntry(h, "[key=key0],"));
        NisplusServer.clearFaults();
        assertEquals(List.of("key1", "key2", "key3"), keys(LIB.nisplusGetAllEntries(h, "")));
        assertArrayEquals(new String[] {"key3", "v3"}, LIB.nisplusGetFirstEntry(h, "[key=key3],"));

        String created = "s" + SERIAL.incrementAndGet() + "." + dir;
        fault("NIS_ADD", "S_SUCCESS");
        assertEquals(-1, LIB.nisplusAddTable(created, "s_tbl", 0, new String[] {"Sk"}, (byte) ' '));
        NisplusServer.clearFaults();
        assertTrue(NisplusServer.exists(created), "S_SUCCESS from add: the table exists");
        fault("NIS_REMOVE", "S_SUCCESS");
        assertEquals(-1, LIB.nisplusDeleteTable(created));
        NisplusServer.clearFaults();
        assertFalse(NisplusServer.exists(created));

        // NIS_SUCCESS without any object: nothing to read, nothing created.
        fault("NIS_LOOKUP", "NOOBJECT");
        int h3 = LIB.nisplusOpenTable(t, "f_tbl");
        assertTrue(h3 >= 0, "open does not inspect the object: " + h3);
        assertEquals(-1, LIB.nisplusAccess(t, 16), "access without an object");
        String never = "x" + SERIAL.incrementAndGet() + "." + dir;
        int r = LIB.nisplusAddTable(never, "x_tbl", 0, new String[] {"Sk"}, (byte) ' ');
        assertTrue(r < 0, "add-table under a directory lookup without object: " + r);
        NisplusServer.clearFaults();
        assertFalse(NisplusServer.exists(never));
        fault("NIS_IBLIST", "NOOBJECT");
        assertNull(LIB.nisplusGetFirstEntry(h, ""));
        assertNull(LIB.nisplusGetAllEntries(h, ""));
        NisplusServer.clearFaults();
        assertEquals(List.of("key1", "key2", "key3"), keys(LIB.nisplusGetAllEntries(h3, "")));
    }

    @Test
    @Order(3)
    void listingKeptAcrossFailuresOfLaterCalls() {
        String t = table(5);
        int h = open(t);
        assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
        // The server now fails everything: get-next needs no server.
        for (String proc : new String[] {"NIS_IBLIST", "NIS_LOOKUP", "NIS_IBADD"}) {
            fault(proc, "5");
        }
        assertNull(LIB.nisplusGetAllEntries(h, ""));
        assertEquals(5, LIB.nisplusAddEntry(h, new String[] {"a", "b"}));
        for (int i = 1; i < 5; i++) {
            assertArrayEquals(new String[] {"key" + i, "value" + i}, LIB.nisplusGetNextEntry(h));
        }
        assertNull(LIB.nisplusGetNextEntry(h));
    }

    @Test
    @Order(4)
    void stoppedServerCostsBoundedTimeAndSessionsSurvive() throws Exception {
        String t = table(4);
        int h = open(t);
        assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
        ServerProcess.signal("-STOP");
        try {
            faultsSurvived++;
            assertTimeout(BOUND, () -> assertNull(LIB.nisplusGetAllEntries(h, "")));
            assertTimeout(BOUND, () -> assertTrue(LIB.nisplusOpenTable(small, "small_tbl") < 0));
            assertTimeout(BOUND, () -> assertTrue(LIB.nisplusAddEntry(h, new String[] {"k", "v"}) > 0));
            // The kept listing needs no server.
            assertArrayEquals(new String[] {"key1", "value1"}, LIB.nisplusGetNextEntry(h));
        } finally {
            ServerProcess.signal("-CONT");
        }
        assertArrayEquals(new String[] {"key2", "value2"}, LIB.nisplusGetNextEntry(h));
        // The add that timed out waited in the stopped server's queue and may
        // have been carried out once it continued: a timeout says nothing
        // about the outcome. Nothing else may have changed.
        List<String> after = keys(LIB.nisplusGetAllEntries(h, ""));
        assertTrue(after.equals(List.of("key0", "key1", "key2", "key3"))
                || after.equals(List.of("key0", "key1", "key2", "key3", "k")), after.toString());
        assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"key4", "value4"}));
        List<String> expected = new ArrayList<>(after);
        expected.add("key4");
        assertEquals(expected, keys(LIB.nisplusGetAllEntries(h, "")));
    }

    @Test
    @Order(5)
    void killedMidIterationThenRestarted() throws Exception {
        String t = table(40);
        int h = open(t);
        int hosts = LIB.nisplusOpenTable(ServerFaultsTest.hosts, "hosts_tbl");
        assertTrue(hosts >= 0);
        String[] hostsBefore = LIB.nisplusGetAllEntries(hosts, "");
        assertNotNull(hostsBefore);
        assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
        assertArrayEquals(new String[] {"key1", "value1"}, LIB.nisplusGetNextEntry(h));

        Path saved = ServerProcess.save();
        try {
            ServerProcess.kill();
            faultsSurvived++;
            // The kept listing serves to its end without a server.
            for (int i = 2; i < 20; i++) {
                assertArrayEquals(new String[] {"key" + i, "value" + i}, LIB.nisplusGetNextEntry(h));
            }
            // Every call that needs the server fails with its failure value, in bounded time.
            assertTimeout(BOUND, () -> {
                int r = LIB.nisplusOpenTable(small, "small_tbl");
                assertTrue(r < 0, "open with the server dead: " + r);
                assertNull(LIB.nisplusGetAllEntries(hosts, ""));
                assertTrue(LIB.nisplusAddEntry(h, new String[] {"k", "v"}) > 0);
                assertTrue(LIB.nisplusModifyEntry(h, "[key=key0],", -1, new String[] {"k", "v"}) > 0);
                assertTrue(LIB.nisplusDeleteEntry(h, "[key=key0],") > 0);
                assertEquals(-1, LIB.nisplusAccess(small, 16));
                assertTrue(LIB.nisplusDeleteTable(t) < 0);
                assertTrue(LIB.nisplusAddTable("z." + dir, "z", 0, new String[] {"Sk"}, (byte) ' ') < 0);
            });
            for (int i = 20; i < 40; i++) {
                assertArrayEquals(new String[] {"key" + i, "value" + i}, LIB.nisplusGetNextEntry(h));
            }
            assertNull(LIB.nisplusGetNextEntry(h));
        } finally {
            ServerProcess.start(saved);
            Files.deleteIfExists(saved);
        }

        // The same handles work against the new server, which holds what the
        // old one held.
        assertArrayEquals(hostsBefore, LIB.nisplusGetAllEntries(hosts, ""));
        assertArrayEquals(new String[] {"key0", "value0"}, LIB.nisplusGetFirstEntry(h, ""));
        assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"key40", "value40"}));
        assertEquals(0, LIB.nisplusDeleteEntry(h, "[key=key0],"));
        String[] all = LIB.nisplusGetAllEntries(h, "");
        assertEquals(80, all.length, Arrays.toString(all));
        assertEquals("key1", all[0]);
        assertEquals("key40", all[78]);
        int again = LIB.nisplusOpenTable(small, "small_tbl");
        assertTrue(again >= 0, "open after the restart: " + again);
    }

    @Test
    @Order(6)
    void killedAgainWhileStoppedThenBack() throws Exception {
        // A stopped server killed: calls in flight end, later calls fail fast.
        String t = table(3);
        int h = open(t);
        Path saved = ServerProcess.save();
        try {
            ServerProcess.signal("-STOP");
            ServerProcess.kill();
            faultsSurvived++;
            assertTimeout(BOUND, () -> assertNull(LIB.nisplusGetFirstEntry(h, "")));
        } finally {
            ServerProcess.start(saved);
            Files.deleteIfExists(saved);
        }
        assertEquals(List.of("key0", "key1", "key2"), keys(LIB.nisplusGetAllEntries(h, "")));
        System.out.println("faults: " + faultsSurvived + " server faults survived");
    }
}

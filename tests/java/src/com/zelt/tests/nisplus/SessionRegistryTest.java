package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Opening and closing table sessions, handle allocation and status texts. */
class SessionRegistryTest extends BridgeTestBase {
    private static final String[] COLUMNS = {"*key", "value"};

    private static String twoRowTable() {
        return tableWith("reg", "reg_tbl", COLUMNS, new String[] {"k1", "v1"}, new String[] {"k2", "v2"});
    }

    @Test
    void sameTableOpenedTwiceGivesTwoIndependentHandles() {
        String t = twoRowTable();
        int a = LIB.nisplusOpenTable(t, "reg_tbl");
        int b = LIB.nisplusOpenTable(t, "reg_tbl");
        assertEquals(0, a);
        assertEquals(1, b);
        assertEquals(List.of("k1", "v1"), List.of(LIB.nisplusGetFirstEntry(a, "")));
        assertEquals(List.of("k1", "v1"), List.of(LIB.nisplusGetFirstEntry(b, "")));
        assertEquals(List.of("k2", "v2"), List.of(LIB.nisplusGetNextEntry(a)));
        assertNull(LIB.nisplusGetNextEntry(a));
        // b's iteration did not move with a's.
        assertEquals(List.of("k2", "v2"), List.of(LIB.nisplusGetNextEntry(b)));
    }

    @Test
    void handlesAreLowestFreeAndTheRegistryHoldsThirtyTwo() {
        String t = twoRowTable();
        for (int i = 0; i < MAX_SESSIONS; i++) {
            assertEquals(i, LIB.nisplusOpenTable(t, "reg_tbl"));
        }
        assertEquals(-NIS_NOMEMORY, LIB.nisplusOpenTable(t, "reg_tbl"));
        LIB.nisplusCloseTable(5);
        assertEquals(5, LIB.nisplusOpenTable(t, "reg_tbl"));
        assertEquals(-NIS_NOMEMORY, LIB.nisplusOpenTable(t, "reg_tbl"));
        LIB.nisplusCloseTable(20);
        LIB.nisplusCloseTable(3);
        assertEquals(3, LIB.nisplusOpenTable(t, "reg_tbl"));
        assertEquals(20, LIB.nisplusOpenTable(t, "reg_tbl"));
        // Every handle still works on its table.
        for (int h = 0; h < MAX_SESSIONS; h++) {
            assertNotNull(LIB.nisplusGetFirstEntry(h, ""), "handle " + h);
        }
    }

    @Test
    void notFoundOpensAsNoSuchTableAndTakesNoSlot() {
        assertEquals(-NIS_NOSUCHTABLE, LIB.nisplusOpenTable(newName("missing"), "x"));
        // Any NIS+ object can be opened, a directory included.
        assertEquals(0, LIB.nisplusOpenTable(dir(), "dir"));
    }

    @Test
    void closingTwiceOrOutOfRangeChangesNothing() {
        String t = twoRowTable();
        assertEquals(0, LIB.nisplusOpenTable(t, "reg_tbl"));
        assertEquals(1, LIB.nisplusOpenTable(t, "reg_tbl"));
        LIB.nisplusCloseTable(-1);
        LIB.nisplusCloseTable(32);
        LIB.nisplusCloseTable(Integer.MIN_VALUE);
        LIB.nisplusCloseTable(Integer.MAX_VALUE);
        assertNotNull(LIB.nisplusGetFirstEntry(0, ""));
        assertNotNull(LIB.nisplusGetFirstEntry(1, ""));
        LIB.nisplusCloseTable(0);
        LIB.nisplusCloseTable(0);
        assertNull(LIB.nisplusGetFirstEntry(0, ""));
        assertEquals(0, LIB.nisplusOpenTable(t, "reg_tbl"));
        assertEquals(2, LIB.nisplusOpenTable(t, "reg_tbl"));
    }

    @Test
    void closingMidIterationFreesTheListing() {
        String t = twoRowTable();
        int h = LIB.nisplusOpenTable(t, "reg_tbl");
        assertNotNull(LIB.nisplusGetFirstEntry(h, ""));
        LIB.nisplusCloseTable(h);
        assertNull(LIB.nisplusGetNextEntry(h));
        // The slot comes back idle: no listing survives from the closed session.
        assertEquals(h, LIB.nisplusOpenTable(t, "reg_tbl"));
        assertNull(LIB.nisplusGetNextEntry(h));
    }

    @Test
    void errorTextsComeFromTheClientLibraryUnnegated() {
        assertEquals("Success", LIB.nisplusGetErrorString(0));
        assertEquals("Not found", LIB.nisplusGetErrorString(NIS_NOTFOUND));
        assertEquals("Database for table does not exist", LIB.nisplusGetErrorString(NIS_NOSUCHTABLE));
        String negated = LIB.nisplusGetErrorString(-NIS_NOSUCHTABLE);
        assertNotNull(negated);
        assertNotEquals("Database for table does not exist", negated);
        assertNotNull(LIB.nisplusGetErrorString(9999));
        assertNotNull(LIB.nisplusGetErrorString(Integer.MIN_VALUE));
    }

    @Test
    void badArgumentsAreRefusedBeforeAnyRequest() {
        String t = twoRowTable();
        String name255 = "n".repeat(255 - dir().length() - 1) + "." + dir();
        String name256 = "n" + name255;
        String type63 = "t".repeat(63);
        List<NisplusServer.Request> sent = requestsDuring(() -> {
            assertEquals(-NIS_BADREQUEST, LIB.nisplusOpenTable(null, "reg_tbl"));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusOpenTable(t, null));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusOpenTable(null, null));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusOpenTable(t + "\0x", "reg_tbl"));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusOpenTable(t, "reg\0tbl"));
            assertEquals(-NIS_BADNAME, LIB.nisplusOpenTable(name256, "reg_tbl"));
            assertEquals(-NIS_BADNAME, LIB.nisplusOpenTable(t, type63 + "t"));
            // Lengths count UTF-8 bytes: 128 two-byte characters are 256 bytes.
            assertEquals(-NIS_BADNAME, LIB.nisplusOpenTable("\u00e9".repeat(128), "reg_tbl"));
            assertEquals(-NIS_BADNAME, LIB.nisplusOpenTable(t, "\u00e9".repeat(32)));
        });
        assertTrue(sent.isEmpty(), "requests sent: " + sent);
        // The longest name and type that fit are not cut: the type reaches
        // entries whole, and the name reaches the server whole.
        int h = LIB.nisplusOpenTable(t, type63);
        assertEquals(0, h);
        assertEquals(NIS_TYPEMISMATCH, LIB.nisplusAddEntry(h, new String[] {"k3", "v3"}));
        NisplusServer.Request add = NisplusServer.requests("NIS_IBADD").get(0);
        assertEquals(type63, add.entryType());
        List<NisplusServer.Request> lookups = requestsDuring(
                () -> assertEquals(-NIS_NOSUCHTABLE, LIB.nisplusOpenTable(name255, "reg_tbl")));
        assertTrue(lookups.stream().anyMatch(r -> name255.equalsIgnoreCase(r.name())), lookups.toString());
        assertEquals(1, LIB.nisplusOpenTable(t, "reg_tbl"));
    }
}

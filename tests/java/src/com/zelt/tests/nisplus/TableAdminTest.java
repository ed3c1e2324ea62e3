package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import com.zelt.tests.support.NisplusServer.Column;
import com.zelt.tests.support.NisplusServer.Request;
import com.zelt.tests.support.NisplusServer.Table;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Creating and deleting tables, and the access test, through the server's view. */
class TableAdminTest extends BridgeTestBase {
    private static final String[] SPECS = {"Sname", "Saddr", "xcomment"};

    @Test
    void createdTableIsOpenUsableAndDeletable() {
        String t = newName("made");
        int h = LIB.nisplusAddTable(t, "made_tbl", 0x00ff0f01, SPECS, (byte) ':');
        assertEquals(0, h);
        Table made = NisplusServer.table(t);
        assertEquals("made_tbl", made.type());
        assertEquals(':', made.sep());
        assertEquals(OWNER, made.owner());
        assertEquals(GROUP, made.group());
        assertEquals(0x00ff0f01, made.access());
        assertEquals("", made.path());
        assertEquals(3, made.maxcol());
        assertEquals(List.of(new Column("name", 8, 0), new Column("addr", 8, 0), new Column("comment", 0, 0)),
                made.columns());

        assertNull(LIB.nisplusGetFirstEntry(h, ""), "a new table is empty");
        assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"alpha", "10.0.0.1", "first"}));
        assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"beta", "10.0.0.2", "second"}));
        assertArrayEquals(new String[] {"alpha", "10.0.0.1", "first", "beta", "10.0.0.2", "second"},
                LIB.nisplusGetAllEntries(h, ""));
        assertArrayEquals(new String[] {"beta", "10.0.0.2", "second"}, LIB.nisplusGetFirstEntry(h, "[addr=10.0.0.2],"));
        assertEquals("made_tbl", NisplusServer.entries(t).get(0).type());

        assertEquals(-37, LIB.nisplusDeleteTable(t), "NIS_NOTEMPTY while entries remain");
        assertEquals(0, LIB.nisplusDeleteEntry(h, "[name=alpha],"));
        assertEquals(0, LIB.nisplusDeleteEntry(h, "[name=beta],"));
        assertEquals(0, LIB.nisplusDeleteTable(t));
        assertFalse(NisplusServer.exists(t));
        assertEquals(-NIS_NOTFOUND, LIB.nisplusDeleteTable(t));
        // The session naming the removed table stays taken.
        assertEquals(1, LIB.nisplusOpenTable(dir(), "dir"));
        assertEquals(-NIS_NOSUCHTABLE, LIB.nisplusOpenTable(t, "made_tbl"));
    }

    @Test
    void markersAreDroppedWholeAndNamesGoAsUtf8() {
        String t = newName("mark");
        String[] specs = {"Sn\u00e4me", "scase", "Xtype", "\u00e9col", "\ud83d\ude00smile", "S"};
        int h = LIB.nisplusAddTable(t, "t\u00ffpe", 0, specs, (byte) 0xe9);
        assertTrue(h >= 0, "handle " + h);
        Table made = NisplusServer.table(t);
        assertEquals("t\u00ffpe", made.type());
        assertEquals(0xe9, made.sep(), "the separator's low byte");
        assertEquals(List.of(new Column("n\u00e4me", 8, 0), new Column("case", 0, 0), new Column("type", 0, 0),
                new Column("col", 0, 0), new Column("smile", 0, 0), new Column("", 8, 0)), made.columns());
    }

    @Test
    void noColumnsGivesATableWithoutColumns() {
        String t = newName("bare");
        List<Request> log = requestsDuring(() -> assertEquals(0, LIB.nisplusAddTable(t, "b_tbl", 0, new String[0],
                (byte) ' ')));
        assertEquals(1, log.stream().filter(r -> r.proc().equals("NIS_ADD")).count(), log.toString());
        Table made = NisplusServer.table(t);
        assertEquals(0, made.maxcol());
        assertTrue(made.columns().isEmpty());
    }

    @Test
    void failuresReturnNegatedStatusesAndKeepNoSession() {
        // A directory the server does not hold: its lookup status, not -23.
        String lost = "t.nodir." + dir();
        int status = LIB.nisplusAddTable(lost, "x", 0, SPECS, (byte) ' ');
        assertTrue(status < 0 && status != -NIS_NOSUCHTABLE, "status " + status);
        assertFalse(NisplusServer.exists(lost));
        // NIS_NOTFOUND from the directory lookup stays -2 here.
        String missing = newName("m");
        NisplusServer.fault("NIS_LOOKUP", 1, "2", dir());
        assertEquals(-NIS_NOTFOUND, LIB.nisplusAddTable(missing, "x", 0, SPECS, (byte) ' '));
        assertFalse(NisplusServer.exists(missing));
        // A duplicate.
        String t = newName("dup");
        assertEquals(0, LIB.nisplusAddTable(t, "d_tbl", 0, SPECS, (byte) ' '));
        assertEquals(-NIS_NAMEEXISTS, LIB.nisplusAddTable(t, "d_tbl", 0, SPECS, (byte) ' '));
        assertEquals(1, LIB.nisplusOpenTable(t, "d_tbl"), "no slot taken by the failures");
    }

    @Test
    void injectedServerAnswers() {
        // The directory lookup succeeds but carries no object: a status of its own.
        String t = newName("noobj");
        NisplusServer.fault("NIS_LOOKUP", 1, "NOOBJECT", dir());
        assertEquals(-NIS_BADOBJECT, LIB.nisplusAddTable(t, "n_tbl", 0, SPECS, (byte) ' '));
        assertFalse(NisplusServer.exists(t));
        // NIS_S_SUCCESS from the add is a failure, although the table now exists.
        String s = newName("ssucc");
        NisplusServer.fault("NIS_ADD", 1, "S_SUCCESS", null);
        assertEquals(-1, LIB.nisplusAddTable(s, "s_tbl", 0, SPECS, (byte) ' '));
        assertTrue(NisplusServer.exists(s));
        assertEquals(0, LIB.nisplusOpenTable(s, "s_tbl"), "no session was taken");
        // A failing delete.
        NisplusServer.fault("NIS_REMOVE", 1, "10", null);
        assertEquals(-10, LIB.nisplusDeleteTable(s));
        assertTrue(NisplusServer.exists(s));
    }

    @Test
    void registryFullAfterACreateLeavesTheTable() {
        for (int i = 0; i < MAX_SESSIONS; i++) {
            assertEquals(i, LIB.nisplusOpenTable(dir(), "dir"));
        }
        String t = newName("full");
        assertEquals(-NIS_NOMEMORY, LIB.nisplusAddTable(t, "f_tbl", 0, SPECS, (byte) ' '));
        assertTrue(NisplusServer.exists(t));
        LIB.nisplusCloseTable(7);
        assertEquals(7, LIB.nisplusOpenTable(t, "f_tbl"));
    }

    @Test
    void badArgumentsAreRefusedBeforeAnyRequest() {
        String name127 = "n".repeat(127 - dir().length() - 1) + "." + dir();
        String name128 = "n" + name127;
        String type63 = "t".repeat(63);
        List<Request> log = requestsDuring(() -> {
            assertEquals(-NIS_BADNAME, LIB.nisplusAddTable(name128, "x", 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADNAME, LIB.nisplusAddTable(newName("long"), type63 + "t", 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADNAME, LIB.nisplusAddTable("nodot", "x", 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADATTRIBUTE,
                    LIB.nisplusAddTable(newName("e"), "x", 0, new String[] {"Sa", ""}, (byte) ' '));
            assertEquals(-NIS_BADREQUEST,
                    LIB.nisplusAddTable(newName("n"), "x", 0, new String[] {"Sa", null}, (byte) ' '));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusAddTable(null, "x", 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusAddTable(newName("n"), null, 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusAddTable(newName("n"), "x", 0, null, (byte) ' '));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusAddTable(newName("n") + "\0", "x", 0, SPECS, (byte) ' '));
            assertEquals(-NIS_BADREQUEST,
                    LIB.nisplusAddTable(newName("n"), "x", 0, new String[] {"Sa\0b"}, (byte) ' '));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusDeleteTable(null));
            assertEquals(-NIS_BADREQUEST, LIB.nisplusDeleteTable("a\0." + dir()));
            assertEquals(-1, LIB.nisplusAccess(null, 16));
            assertEquals(-1, LIB.nisplusAccess(dir() + "\0", 16));
        });
        assertTrue(log.isEmpty(), "requests sent: " + log);
        // The longest name and type that fit go through whole.
        assertEquals(0, LIB.nisplusAddTable(name127, type63, 0, SPECS, (byte) ' '));
        assertEquals(type63, NisplusServer.table(name127).type());
    }

    @Test
    void accessLooksAtNobodyGroupAndWorldButNeverTheOwner() {
        String ownerRead = newName("own");
        String worldRead = newName("world");
        String groupRead = newName("group");
        String nobodyRead = newName("nobody");
        String mixed = newName("mixed");
        new Seed().table(ownerRead, "a", 0x003f0000, "c")
                .table(worldRead, "a", 0x00000001, "c")
                .table(groupRead, "a", 0x00000100, "c")
                .table(nobodyRead, "a", 0x01000000, "c")
                // read for world, modify for group, create for nobody, destroy for the owner only
                .table(mixed, "a", 0x04080201, "c")
                .load();
        assertEquals(-1, LIB.nisplusAccess(ownerRead, 1));
        assertEquals(0, LIB.nisplusAccess(worldRead, 1));
        assertEquals(0, LIB.nisplusAccess(groupRead, 1));
        assertEquals(0, LIB.nisplusAccess(nobodyRead, 1));
        assertEquals(-1, LIB.nisplusAccess(worldRead, 2));
        assertEquals(0, LIB.nisplusAccess(worldRead, 1 | 16));
        assertEquals(0, LIB.nisplusAccess(mixed, 1 | 2 | 4 | 16));
        assertEquals(-1, LIB.nisplusAccess(mixed, 8));
        assertEquals(-1, LIB.nisplusAccess(mixed, 1 | 8));
        // Existence alone, and the empty request.
        assertEquals(0, LIB.nisplusAccess(ownerRead, 16));
        assertEquals(0, LIB.nisplusAccess(ownerRead, 0));
        assertEquals(0, LIB.nisplusAccess(dir(), 16));
        assertEquals(-1, LIB.nisplusAccess(newName("absent"), 16));
        assertEquals(-1, LIB.nisplusAccess(newName("absent"), 0));
        // Bits outside 1, 2, 4, 8 and 16 are never granted.
        for (int mode : new int[] {32, 1 | 32, 64, 0x100, 0x01000000, -1, Integer.MIN_VALUE}) {
            assertEquals(-1, LIB.nisplusAccess(mixed, mode), "mode " + mode);
        }
        // A lookup that succeeds without an object.
        NisplusServer.fault("NIS_LOOKUP", 1, "NOOBJECT", worldRead);
        assertEquals(-1, LIB.nisplusAccess(worldRead, 16));
        assertEquals(0, LIB.nisplusAccess(worldRead, 16));
    }
}

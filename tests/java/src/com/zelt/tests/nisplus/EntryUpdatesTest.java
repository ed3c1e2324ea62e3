package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import com.zelt.tests.support.NisplusServer.Request;
import com.zelt.tests.support.NisplusServer.Value;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Add, modify and delete entries, checked through the server's own view. */
class EntryUpdatesTest extends BridgeTestBase {
    private static final String[] COLUMNS = {"*name", "addr", "comment"};

    private static String table() {
        return tableWith("upd", "upd_tbl", COLUMNS, new String[] {"alpha", "10.0.0.1", "build"},
                new String[] {"beta", "10.0.0.2", "mail"});
    }

    private static Value sent(String text, int flags) {
        byte[] b = utf8(text);
        return new Value(Arrays.copyOf(b, b.length + 1), flags);
    }

    private static Request only(List<Request> requests, String proc) {
        List<Request> r = requests.stream().filter(x -> x.proc().equals(proc)).toList();
        assertEquals(1, r.size(), "one " + proc + " in " + requests);
        return r.get(0);
    }

    @Test
    void addStoresUtf8ValuesWithTheirNulAndTheSessionsType() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        String text = "Gr\u00fc\u00dfe \ud83d\ude00";
        List<Request> log = requestsDuring(
                () -> assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"gamma", text, ""})));
        Request add = only(log, "NIS_IBADD");
        assertTrue(t.equalsIgnoreCase(add.name()), add.toString());
        assertTrue(add.attrs().isEmpty());
        assertEquals(0, add.flags() & 0xffff);
        assertEquals("upd_tbl", add.entryType());
        assertEquals(List.of(sent("gamma", 0), sent(text, 0), new Value(new byte[] {0}, 0)), add.entryValues());
        NisplusServer.Entry stored = NisplusServer.entries(t).get(2);
        assertEquals(List.of("gamma", text, ""), stored.texts());
        assertArrayEquals(new String[] {"gamma", text, ""}, LIB.nisplusGetFirstEntry(h, "[name=gamma],"));
    }

    @Test
    void rejectedAddsReturnThePositiveStatus() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        assertEquals(NIS_NAMEEXISTS, LIB.nisplusAddEntry(h, new String[] {"alpha", "x", "y"}));
        assertEquals(NIS_TYPEMISMATCH, LIB.nisplusAddEntry(h, new String[] {"delta"}));
        // The entry type is always the session's, whatever the values are.
        int other = LIB.nisplusOpenTable(t, "other_tbl");
        List<Request> log = requestsDuring(() -> assertEquals(NIS_TYPEMISMATCH,
                LIB.nisplusAddEntry(other, new String[] {"delta", "10.0.0.4", "z"})));
        assertEquals("other_tbl", only(log, "NIS_IBADD").entryType());
        assertEquals(2, NisplusServer.entries(t).size());
    }

    @Test
    void allEmptyValuesAreSentAsLoneNuls() {
        String t = tableWith("empty", "e_tbl", new String[] {"a", "b"});
        int h = LIB.nisplusOpenTable(t, "e_tbl");
        List<Request> log = requestsDuring(() -> assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"", ""})));
        Value nul = new Value(new byte[] {0}, 0);
        assertEquals(List.of(nul, nul), only(log, "NIS_IBADD").entryValues());
        assertArrayEquals(new String[] {"", ""}, LIB.nisplusGetFirstEntry(h, ""));
    }

    @Test
    void modifyFlagsColumnsByTheSelector() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        String[] values = {"alpha", "10.9.9.9", "changed"};
        int[] selectors = {-1, 2, 1, 3, 0, 4, -2, Integer.MAX_VALUE, Integer.MIN_VALUE};
        int[][] expectedFlags = {{8, 8, 8}, {0, 8, 0}, {8, 0, 0}, {0, 0, 8}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0},
                {0, 0, 0}, {0, 0, 0}};
        for (int k = 0; k < selectors.length; k++) {
            int column = selectors[k];
            List<Request> log = requestsDuring(
                    () -> assertEquals(0, LIB.nisplusModifyEntry(h, "[name=alpha],", column, values)));
            Request mod = only(log, "NIS_IBMODIFY");
            assertTrue(t.equalsIgnoreCase(mod.name()), mod.toString());
            assertEquals(java.util.Map.of("name", "alpha"), mod.attrTexts());
            assertEquals("upd_tbl", mod.entryType());
            List<Value> expected = new ArrayList<>();
            for (int i = 0; i < 3; i++) {
                expected.add(sent(values[i], expectedFlags[k][i]));
            }
            assertEquals(expected, mod.entryValues(), "selector " + column);
        }
        // Only the flagged columns changed on the server.
        new Seed().table(t, "upd_tbl", 0x010f0f01, COLUMNS).entry(t, "alpha", "10.0.0.1", "build").load();
        assertEquals(0, LIB.nisplusModifyEntry(h, "[name=alpha],", 2, values));
        assertEquals(List.of("alpha", "10.9.9.9", "build"), NisplusServer.entries(t).get(0).texts());
        assertEquals(0, LIB.nisplusModifyEntry(h, "[name=alpha],", -1, new String[] {"alpha", "1", "c"}));
        assertEquals(List.of("alpha", "1", "c"), NisplusServer.entries(t).get(0).texts());
    }

    @Test
    void modifyAndDeleteFailuresArePositive() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        assertEquals(NIS_NOTFOUND, LIB.nisplusModifyEntry(h, "[name=nobody],", -1, new String[] {"a", "b", "c"}));
        assertEquals(NIS_NOTFOUND, LIB.nisplusDeleteEntry(h, "[name=nobody],"));
        // Renaming beta onto alpha collides.
        assertEquals(NIS_NAMEEXISTS, LIB.nisplusModifyEntry(h, "[name=beta],", 1, new String[] {"alpha", "", ""}));
        int status = LIB.nisplusDeleteEntry(h, "[nosuchcol=1],");
        assertTrue(status > 1, "status " + status);
    }

    @Test
    void emptyCriteriaAddressesTheBareTableName() {
        String t = tableWith("single", "s_tbl", new String[] {"*k", "v"}, new String[] {"one", "1"});
        int h = LIB.nisplusOpenTable(t, "s_tbl");
        List<Request> log = requestsDuring(() -> {
            assertEquals(0, LIB.nisplusModifyEntry(h, "", 2, new String[] {"one", "2"}));
            assertEquals(0, LIB.nisplusDeleteEntry(h, ""));
        });
        Request mod = only(log, "NIS_IBMODIFY");
        Request rem = only(log, "NIS_IBREMOVE");
        assertTrue(t.equalsIgnoreCase(mod.name()) && t.equalsIgnoreCase(rem.name()), log.toString());
        assertTrue(mod.attrs().isEmpty() && rem.attrs().isEmpty(), log.toString());
        assertEquals(0, rem.flags() & 0xffff, "no remove flags");
        assertTrue(NisplusServer.entries(t).isEmpty());
    }

    @Test
    void deleteRemovesTheSelectedEntry() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        assertEquals(0, LIB.nisplusDeleteEntry(h, "[name=alpha],"));
        assertEquals(List.of(List.of("beta", "10.0.0.2", "mail")),
                NisplusServer.entries(t).stream().map(NisplusServer.Entry::texts).toList());
        assertEquals(NIS_NOTFOUND, LIB.nisplusDeleteEntry(h, "[name=alpha],"));
    }

    @Test
    void refusedRequestsSendNothing() {
        String t = table();
        int h = LIB.nisplusOpenTable(t, "upd_tbl");
        int closed = LIB.nisplusOpenTable(t, "upd_tbl");
        LIB.nisplusCloseTable(closed);
        String[] good = {"zeta", "1", "2"};
        List<Request> log = requestsDuring(() -> {
            for (int bad : new int[] {-1, MAX_SESSIONS, closed, Integer.MAX_VALUE}) {
                assertEquals(NIS_NOSUCHTABLE, LIB.nisplusAddEntry(bad, good));
                assertEquals(NIS_NOSUCHTABLE, LIB.nisplusModifyEntry(bad, "[name=alpha],", -1, good));
                assertEquals(NIS_NOSUCHTABLE, LIB.nisplusDeleteEntry(bad, "[name=alpha],"));
            }
            assertEquals(NIS_BADREQUEST, LIB.nisplusAddEntry(h, null));
            assertEquals(NIS_BADREQUEST, LIB.nisplusAddEntry(h, new String[] {"zeta", null, "2"}));
            assertEquals(NIS_BADREQUEST, LIB.nisplusAddEntry(h, new String[] {"ze\0ta", "1", "2"}));
            assertEquals(NIS_BADREQUEST, LIB.nisplusModifyEntry(h, null, -1, good));
            assertEquals(NIS_BADREQUEST, LIB.nisplusModifyEntry(h, "[name=alpha],", -1, null));
            assertEquals(NIS_BADREQUEST, LIB.nisplusModifyEntry(h, "[name=alpha],", -1, new String[] {null}));
            assertEquals(NIS_BADREQUEST, LIB.nisplusModifyEntry(h, "[name=al\0pha],", -1, good));
            assertEquals(NIS_BADREQUEST, LIB.nisplusDeleteEntry(h, null));
            assertEquals(NIS_BADREQUEST, LIB.nisplusDeleteEntry(h, "[name=al\0pha],"));
        });
        assertTrue(log.isEmpty(), "requests sent: " + log);
        assertEquals(2, NisplusServer.entries(t).size());
    }

    @Test
    void manyColumnsKeepLocalReferencesFew() {
        String[] cols = new String[300];
        String[] values = new String[300];
        for (int i = 0; i < cols.length; i++) {
            cols[i] = (i == 0 ? "*" : "") + "c" + i;
            values[i] = "v" + i;
        }
        String t = tableWith("wide", "w_tbl", cols);
        int h = LIB.nisplusOpenTable(t, "w_tbl");
        assertEquals(0, LIB.nisplusAddEntry(h, values));
        values[299] = "changed";
        assertEquals(0, LIB.nisplusModifyEntry(h, "[c0=v0],", -1, values));
        assertArrayEquals(values, LIB.nisplusGetFirstEntry(h, ""));
        assertArrayEquals(values, LIB.nisplusGetAllEntries(h, ""));
    }
}

package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Get-first, get-next and get-all against tables the server holds. */
class EntryRetrievalTest extends BridgeTestBase {
    private static final String[] HOST_COLUMNS = {"*name", "*addr", "comment", "extra"};

    private static String hostsTable() {
        return tableWith("hosts", "hosts_tbl", HOST_COLUMNS,
                new String[] {"alpha", "10.0.0.1", "build", "x1"},
                new String[] {"beta", "10.0.0.2", "mail", "x2"},
                new String[] {"gamma", "10.0.0.3", "", "x3"});
    }

    @Test
    void oneEntryThenNullAndNullAgain() {
        String t = tableWith("one", "one_tbl", new String[] {"*k", "v"}, new String[] {"only", "row"});
        int h = LIB.nisplusOpenTable(t, "one_tbl");
        assertArrayEquals(new String[] {"only", "row"}, LIB.nisplusGetFirstEntry(h, ""));
        assertNull(LIB.nisplusGetNextEntry(h));
        assertNull(LIB.nisplusGetNextEntry(h));
    }

    @Test
    void severalEntriesComeInStoredOrderAndGetFirstRestarts() {
        int h = LIB.nisplusOpenTable(hostsTable(), "hosts_tbl");
        assertNull(LIB.nisplusGetNextEntry(h), "get-next before any get-first");
        List<List<String>> rows = iterate(h, "");
        assertEquals(List.of(List.of("alpha", "10.0.0.1", "build", "x1"),
                List.of("beta", "10.0.0.2", "mail", "x2"), List.of("gamma", "10.0.0.3", "", "x3")), rows);
        assertEquals("alpha", LIB.nisplusGetFirstEntry(h, "")[0]);
        assertEquals("beta", LIB.nisplusGetNextEntry(h)[0]);
        assertEquals("alpha", LIB.nisplusGetFirstEntry(h, "")[0], "second get-first restarts");
        assertEquals("beta", LIB.nisplusGetNextEntry(h)[0]);
    }

    @Test
    void criteriaIsPrefixedToTheTableNameAsGiven() {
        String t = hostsTable();
        int h = LIB.nisplusOpenTable(t, "hosts_tbl");
        List<NisplusServer.Request> sent = requestsDuring(() -> {
            assertArrayEquals(new String[] {"beta", "10.0.0.2", "mail", "x2"},
                    LIB.nisplusGetFirstEntry(h, "[name=beta],"));
            assertNull(LIB.nisplusGetNextEntry(h));
        });
        NisplusServer.Request list = sent.stream().filter(r -> r.proc().equals("NIS_IBLIST"))
                .findFirst().orElseThrow();
        assertTrue(t.equalsIgnoreCase(list.name()), list.toString());
        assertEquals(java.util.Map.of("name", "beta"), list.attrTexts());
        assertEquals(0, list.flags() & 0xffff, "no list flags");
        // A failing get-first leaves the session idle.
        assertNotNull(LIB.nisplusGetFirstEntry(h, ""));
        assertNull(LIB.nisplusGetFirstEntry(h, "[name=nobody],"));
        assertNull(LIB.nisplusGetNextEntry(h));
        assertNull(LIB.nisplusGetAllEntries(h, "[name=nobody],"));
        // A bad search column is a listing error: null as well.
        assertNull(LIB.nisplusGetFirstEntry(h, "[nosuchcol=1],"));
        assertNull(LIB.nisplusGetAllEntries(h, "[nosuchcol=1],"));
    }

    @Test
    void missingAndEmptyValuesComeBackEmpty() {
        String t = newName("vals");
        String full = "y".repeat(24);
        new Seed().table(t, "v_tbl", 0x010f0f01, "*k", "a", "b", "c", "d", "e")
                // null: zero-length value (no pointer); "\0": only its NUL; "abc" and
                // 24 bytes of y: no NUL at all, read up to their length (24 bytes fill a
                // heap block exactly); "ab\0cd\0": cut at the first NUL.
                .rawEntry(t, "\"k\\0\"", "null", "\"\\0\"", "\"abc\"", "\"" + full + "\"", "\"ab\\0cd\\0\"")
                .load();
        int h = LIB.nisplusOpenTable(t, "v_tbl");
        String[] expected = {"k", "", "", "abc", full, "ab"};
        assertArrayEquals(expected, LIB.nisplusGetFirstEntry(h, ""));
        assertArrayEquals(expected, LIB.nisplusGetAllEntries(h, ""));
    }

    @Test
    void valuesCrossAsUtf8AndForeignBytesAsLatin1() {
        String t = newName("utf");
        String text = "Gr\u00fc\u00dfe \u6771\u4eac \ud83d\ude00";
        new Seed().table(t, "u_tbl", 0x010f0f01, "*k", "*v")
                .entry(t, "utf8", text)
                // ISO-8859-1 bytes of "été" and a lone continuation byte.
                .rawEntry(t, "\"latin\\0\"", "\"\\xe9t\\xe9 \\x80z\\0\"")
                // The overlong form of U+0000 is two foreign bytes, not a NUL.
                .rawEntry(t, "\"overlong\\0\"", "\"a\\xc0\\x80b\\0\"")
                .load();
        int h = LIB.nisplusOpenTable(t, "u_tbl");
        assertArrayEquals(new String[] {"utf8", text}, LIB.nisplusGetFirstEntry(h, ""));
        assertArrayEquals(new String[] {"latin", "\u00e9t\u00e9 \u0080z"}, LIB.nisplusGetNextEntry(h));
        assertArrayEquals(new String[] {"utf8", text, "latin", "\u00e9t\u00e9 \u0080z", "overlong", "a\u00c0\u0080b"},
                LIB.nisplusGetAllEntries(h, ""));
        assertArrayEquals(new String[] {"utf8", text}, LIB.nisplusGetFirstEntry(h, "[k=utf8],"));
        // Criteria go out as real UTF-8 too.
        assertArrayEquals(new String[] {"utf8", text}, LIB.nisplusGetFirstEntry(h, "[v=" + text + "],"));
    }

    @Test
    void getAllIsRowMajorAndLeavesTheIterationAlone() {
        int h = LIB.nisplusOpenTable(hostsTable(), "hosts_tbl");
        assertEquals("alpha", LIB.nisplusGetFirstEntry(h, "")[0]);
        String[] all = LIB.nisplusGetAllEntries(h, "");
        assertArrayEquals(new String[] {"alpha", "10.0.0.1", "build", "x1", "beta", "10.0.0.2", "mail", "x2",
                "gamma", "10.0.0.3", "", "x3"}, all);
        assertArrayEquals(new String[] {"beta", "10.0.0.2", "mail", "x2"}, LIB.nisplusGetNextEntry(h));
        assertArrayEquals(new String[] {"gamma", "10.0.0.3", "", "x3"},
                LIB.nisplusGetAllEntries(h, "[addr=10.0.0.3],"));
        assertEquals("gamma", LIB.nisplusGetNextEntry(h)[0]);
        assertNull(LIB.nisplusGetNextEntry(h));
    }

    @Test
    void getAllPadsShorterEntriesAndCutsLongerOnes() {
        String t = newName("ragged");
        new Seed().table(t, "r_tbl", 0x010f0f01, "*k", "a", "b")
                .rawEntry(t, "\"r1\\0\"", "\"a1\\0\"", "\"b1\\0\"")
                .rawEntry(t, "\"r2\\0\"")
                .rawEntry(t, "\"r3\\0\"", "\"a3\\0\"", "\"b3\\0\"", "\"c3\\0\"")
                .rawEntry(t, "\"r4\\0\"")
                .load();
        int h = LIB.nisplusOpenTable(t, "r_tbl");
        assertArrayEquals(new String[] {"r1", "a1", "b1", "r2", "", "", "r3", "a3", "b3", "r4", "", ""},
                LIB.nisplusGetAllEntries(h, ""));
        // One at a time, each row is as wide as its own entry.
        assertEquals(List.of(List.of("r1", "a1", "b1"), List.of("r2"), List.of("r3", "a3", "b3", "c3"),
                List.of("r4")), iterate(h, ""));
    }

    @Test
    void tenThousandEntriesOfEightColumns() {
        String t = newName("big");
        Seed seed = new Seed().table(t, "big_tbl", 0x010f0f01, "*c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7");
        for (int j = 0; j < 10_000; j++) {
            String[] row = new String[8];
            for (int i = 0; i < 8; i++) {
                row[i] = "r" + j + "c" + i;
            }
            seed.entry(t, row);
        }
        seed.load();
        int h = LIB.nisplusOpenTable(t, "big_tbl");
        String[] all = LIB.nisplusGetAllEntries(h, "");
        assertNotNull(all);
        assertEquals(80_000, all.length);
        for (int j = 0; j < 10_000; j++) {
            for (int i = 0; i < 8; i++) {
                if (!all[j * 8 + i].equals("r" + j + "c" + i)) {
                    throw new AssertionError("element " + (j * 8 + i) + " is " + all[j * 8 + i]);
                }
            }
        }
        int count = 0;
        for (String[] r = LIB.nisplusGetFirstEntry(h, ""); r != null; r = LIB.nisplusGetNextEntry(h)) {
            assertEquals(8, r.length);
            assertEquals("r" + count + "c7", r[7]);
            count++;
        }
        assertEquals(10_000, count);
    }

    @Test
    void badHandlesAndNullCriteriaGiveNullWithoutARequest() {
        String t = hostsTable();
        int h = LIB.nisplusOpenTable(t, "hosts_tbl");
        int closed = LIB.nisplusOpenTable(t, "hosts_tbl");
        LIB.nisplusCloseTable(closed);
        List<String[]> results = new ArrayList<>();
        List<NisplusServer.Request> sent = requestsDuring(() -> {
            for (int bad : new int[] {-1, MAX_SESSIONS, closed, Integer.MIN_VALUE}) {
                results.add(LIB.nisplusGetFirstEntry(bad, ""));
                results.add(LIB.nisplusGetNextEntry(bad));
                results.add(LIB.nisplusGetAllEntries(bad, ""));
            }
            results.add(LIB.nisplusGetFirstEntry(h, null));
            results.add(LIB.nisplusGetAllEntries(h, null));
            results.add(LIB.nisplusGetFirstEntry(h, "[name=al\0pha],"));
            results.add(LIB.nisplusGetAllEntries(h, "[name=al\0pha],"));
        });
        results.forEach(r -> assertNull(r));
        assertTrue(sent.isEmpty(), "requests sent: " + sent);
        assertNotNull(LIB.nisplusGetFirstEntry(h, ""));
    }
}

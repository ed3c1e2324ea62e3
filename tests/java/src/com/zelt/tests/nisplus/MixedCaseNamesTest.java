package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import java.util.List;
import java.util.Locale;
import org.junit.jupiter.api.Test;

/**
 * NIS+ names are case-insensitive: a table named with its directory (or its
 * own label) spelt in another case than stored works through every call of
 * the bridge, and the server gets the caller's spelling.
 */
class MixedCaseNamesTest extends BridgeTestBase {

    /** The name with its directory part upper-cased and its label capitalised. */
    static String respelt(String name) {
        int dot = name.indexOf('.');
        return Character.toUpperCase(name.charAt(0)) + name.substring(1, dot)
                + name.substring(dot).toUpperCase(Locale.ROOT);
    }

    @Test
    void everyTableCallAcceptsAnotherSpelling() {
        String stored = tableWith("mixed", "m_tbl", new String[] {"*key", "value"},
                new String[] {"k1", "v1"}, new String[] {"k2", "v2"});
        String name = respelt(stored);

        int h = LIB.nisplusOpenTable(name, "m_tbl");
        assertTrue(h >= 0, "open " + name + ": " + h);
        assertArrayEquals(new String[] {"k1", "v1"}, LIB.nisplusGetFirstEntry(h, ""));
        assertArrayEquals(new String[] {"k2", "v2"}, LIB.nisplusGetFirstEntry(h, "[key=k2],"));
        assertArrayEquals(new String[] {"k1", "v1", "k2", "v2"}, LIB.nisplusGetAllEntries(h, ""));
        assertEquals(0, LIB.nisplusAddEntry(h, new String[] {"k3", "v3"}));
        assertEquals(0, LIB.nisplusModifyEntry(h, "[key=k3],", 2, new String[] {"k3", "changed"}));
        assertEquals(0, LIB.nisplusDeleteEntry(h, "[key=k1],"));
        assertEquals(List.of(List.of("k2", "v2"), List.of("k3", "changed")), iterate(h, ""));
        assertEquals(0, LIB.nisplusAccess(name, 16));
        assertEquals(0, LIB.nisplusAccess(respelt(dir()), 1));

        // What went out is the caller's spelling.
        List<NisplusServer.Request> sent = requestsDuring(() -> LIB.nisplusGetAllEntries(h, ""));
        assertEquals(1, sent.size());
        assertEquals(name, sent.get(0).name());

        String created = respelt(newName("made"));
        int t = LIB.nisplusAddTable(created, "made_tbl", 0x010f0f01, new String[] {"Skey"}, (byte) ' ');
        assertTrue(t >= 0, "add-table " + created + ": " + t);
        assertEquals(0, LIB.nisplusAddEntry(t, new String[] {"x"}));
        assertEquals(0, LIB.nisplusDeleteEntry(t, "[key=x],"));
        assertTrue(NisplusServer.exists(created.toLowerCase(Locale.ROOT)));
        assertEquals(0, LIB.nisplusDeleteTable(created.toUpperCase(Locale.ROOT)));
        assertFalse(NisplusServer.exists(created.toLowerCase(Locale.ROOT)));
    }
}

package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import java.nio.charset.StandardCharsets;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * The test helper against the sandbox's nisplusd: what the bridge tests read
 * through it (tables, entries, log records) must be the server's exact view.
 */
class NisplusServerHelperTest {
    private static final String ORG = "org_dir.sandbox.test.";

    @Test
    void readsTablesFromTheSeed() {
        NisplusServer.Table hosts = NisplusServer.table("hosts." + ORG);
        assertEquals("hosts_tbl", hosts.type());
        assertEquals(' ', hosts.sep());
        assertEquals("server.sandbox.test.", hosts.owner());
        assertEquals("admin.sandbox.test.", hosts.group());
        assertEquals(0x010f0f01, hosts.access());
        assertEquals(43200, hosts.ttl());
        assertEquals(4, hosts.maxcol());
        assertEquals(List.of("cname", "name", "addr", "comment"), hosts.columnNames());
        assertTrue(hosts.columns().get(0).searchable());
        assertFalse(hosts.columns().get(3).searchable());
        assertEquals(0x18, NisplusServer.table("mixed." + ORG).columns().get(0).flags());
        assertEquals(0x00030000, NisplusServer.table("passwd." + ORG).columns().get(1).rights());
        assertTrue(NisplusServer.exists("ORG_DIR.sandbox.test."));
        assertFalse(NisplusServer.exists("nosuch." + ORG));
        assertThrows(AssertionError.class, () -> NisplusServer.table("nosuch." + ORG));
    }

    @Test
    void readsEntryValuesByteForByte() {
        List<NisplusServer.Entry> mixed = NisplusServer.entries("mixed." + ORG);
        assertEquals(5, mixed.size());
        assertEquals(List.of("Alpha", "A1", "first"), mixed.get(0).texts());
        assertArrayEquals(new byte[0], mixed.get(1).values().get(2).bytes());
        assertArrayEquals(new byte[] {0}, mixed.get(2).values().get(2).bytes());
        assertEquals("Ünïcödé", mixed.get(3).values().get(0).text());
        assertArrayEquals("näive: café\0".getBytes(StandardCharsets.UTF_8),
                mixed.get(3).values().get(2).bytes());
        assertEquals("mixed_tbl", mixed.get(0).type());
    }

    @Test
    void loadedOddBytesComeBackExactly() {
        String table = "helper." + ORG;
        byte[] odd = {'a', '"', '\\', 0, (byte) 0xff, '\n', 'z', 0};
        NisplusServer.load("table " + table + " type=\"h_tbl\" sep=0x3a owner=\"o.\" group=\"g.\""
                + " access=0x00000003\n"
                + "column k flags=0x8 rights=0x4\n"
                + "column v\n"
                + "entry " + table + " " + NisplusServer.quoteWithNul("ké y") + " "
                + NisplusServer.quote(odd) + "/0x1\n");
        NisplusServer.Table t = NisplusServer.table(table);
        assertEquals(':', t.sep());
        assertEquals("o.", t.owner());
        assertEquals(3, t.access());
        assertEquals(2, t.maxcol());
        List<NisplusServer.Entry> e = NisplusServer.entries(table);
        assertEquals(1, e.size());
        assertArrayEquals("ké y\0".getBytes(StandardCharsets.UTF_8), e.get(0).values().get(0).bytes());
        assertArrayEquals(odd, e.get(0).values().get(1).bytes());
        assertEquals(1, e.get(0).values().get(1).flags());
        assertEquals("o.", e.get(0).owner());
        assertThrows(AssertionError.class, () -> NisplusServer.load("entry nosuch." + ORG + " \"x\"\n"));
    }

    @Test
    void parsesLogLinesAsTheServerWritesThem() {
        NisplusServer.Request list = NisplusServer.parseRequest(
                "NIS_IBLIST name=hosts.org_dir.sandbox.test. attrs=name=\"al,pha\\0\",addr=\"1\\0\" flags=0x10000");
        assertEquals("NIS_IBLIST", list.proc());
        assertEquals("hosts.org_dir.sandbox.test.", list.name());
        assertEquals(0x10000, list.flags());
        assertEquals("al,pha", list.attrTexts().get("name"));
        assertArrayEquals(new byte[] {'1', 0}, list.attrs().get("addr"));
        assertNull(list.entryValues());

        NisplusServer.Request add = NisplusServer.parseRequest(
                "NIS_IBMODIFY name=t.d. attrs=k=\"a\\0\" flags=0x0 entry type=\"t_tbl\" cols=3"
                        + " values=\"x\\0\"/0x8 \"\"/0x0 \"\\0\"/0x8");
        assertEquals("t_tbl", add.entryType());
        assertEquals(3, add.entryValues().size());
        assertEquals(8, add.entryValues().get(0).flags());
        assertArrayEquals(new byte[0], add.entryValues().get(1).bytes());
        assertArrayEquals(new byte[] {0}, add.entryValues().get(2).bytes());

        NisplusServer.Request none = NisplusServer.parseRequest(
                "NIS_IBADD name=t.d. attrs= flags=0x0 entry type=\"t_tbl\" cols=0");
        assertEquals(List.of(), none.entryValues());
        assertTrue(none.attrs().isEmpty());
    }

    @Test
    void faultsAndLogReachTheServer() {
        NisplusServer.clearLog();
        assertEquals(List.of(), NisplusServer.log());
        NisplusServer.fault("NIS_LOOKUP", 1, "20", "small." + ORG);
        NisplusServer.fault("NIS_IBLIST", 2, "S_SUCCESS", null);
        NisplusServer.clearFaults();
        assertThrows(AssertionError.class, () -> NisplusServer.fault("NIS_NOSUCH", 1, "2", null));
        assertThrows(AssertionError.class, () -> NisplusServer.fault("NIS_LOOKUP", 1, "maybe", null));
        assertTrue(NisplusServer.dump().startsWith("directory sandbox.test. "));
        assertTrue(NisplusServer.dump("small." + ORG).startsWith("table small." + ORG + " "));
    }
}

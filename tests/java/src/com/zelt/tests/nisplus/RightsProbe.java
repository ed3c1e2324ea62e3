package com.zelt.tests.nisplus;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The bridge calls of CallerRightsTest, made in a JVM of its own as whoever
 * started it, on the fixture in directory args[0]; args[1] names the table
 * it creates. Prints "operation=result" per call: a listing as its rows
 * (values joined by ',', rows by ';') or "null"; a handle as 0.
 */
public final class RightsProbe {
    private static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    private RightsProbe() {}

    public static void main(String[] args) {
        String dir = args[0];
        String people = "people." + dir;
        String hidden = "hidden.closed." + dir;
        print("open closed", opened(LIB.nisplusOpenTable(hidden, "h_tbl")));
        int h = LIB.nisplusOpenTable(people, "people_tbl");
        int v = LIB.nisplusOpenTable("vault." + dir, "vault_tbl");
        print("get-all", rows(LIB.nisplusGetAllEntries(h, ""), 3));
        print("get-first/next", iterate(h));
        print("get-all by secret", rows(LIB.nisplusGetAllEntries(h, "[secret=s-root],"), 3));
        print("get-all by name", rows(LIB.nisplusGetAllEntries(h, "[name=root],"), 3));
        print("get-all vault", rows(LIB.nisplusGetAllEntries(v, ""), 2));
        print("get-first/next vault", iterate(v));
        print("modify root's shell", LIB.nisplusModifyEntry(h, "[name=root],", 3, new String[] {"root", "s-root", "zsh"}));
        print("modify ada's shell", LIB.nisplusModifyEntry(h, "[name=ada],", 3, new String[] {"ada", "s-ada", "zsh"}));
        print("modify ada's secret", LIB.nisplusModifyEntry(h, "[name=ada],", 2, new String[] {"ada", "new", "zsh"}));
        print("add", LIB.nisplusAddEntry(h, new String[] {"new", "s-new", "sh"}));
        print("delete root", LIB.nisplusDeleteEntry(h, "[name=root],"));
        print("add-table", opened(LIB.nisplusAddTable(args[1] + "." + dir, "m_tbl", 0x010f0f01,
                new String[] {"Sk"}, (byte) ' ')));
        print("delete-table", LIB.nisplusDeleteTable("doomed." + dir));
        print("access people read", LIB.nisplusAccess(people, 1));
        print("access people destroy", LIB.nisplusAccess(people, 8));
        print("access closed exists", LIB.nisplusAccess(hidden, 16));
        LIB.nisplusCloseTable(h);
        LIB.nisplusCloseTable(v);
    }

    private static void print(String operation, Object result) {
        System.out.println(operation + "=" + result);
    }

    private static int opened(int handle) {
        if (handle >= 0) LIB.nisplusCloseTable(handle);
        return Math.min(handle, 0);
    }

    private static String rows(String[] flat, int columns) {
        if (flat == null) return "null";
        List<String> rows = new ArrayList<>();
        for (int i = 0; i < flat.length; i += columns) {
            rows.add(String.join(",", Arrays.copyOfRange(flat, i, i + columns)));
        }
        return String.join(";", rows);
    }

    private static String iterate(int handle) {
        List<String> rows = new ArrayList<>();
        for (String[] r = LIB.nisplusGetFirstEntry(handle, ""); r != null; r = LIB.nisplusGetNextEntry(handle)) {
            rows.add(String.join(",", r));
        }
        return rows.isEmpty() ? "null" : String.join(";", rows);
    }
}

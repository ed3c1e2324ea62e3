package com.zelt.tests.nisplus;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Runs the bridge calls of CallerRightsTest in a JVM of its own, as whoever
 * started it, against the fixture in directory args[0]; args[1] names the
 * table it creates. Prints one line per operation: "operation=result", where
 * a listing is its rows (values joined by ',', rows by ';') or "null", and a
 * handle that open or add-table returned counts as 0.
 */
public final class RightsProbe {
    private RightsProbe() {}

    public static void main(String[] args) {
        DirectoryTableLibrary lib = new DirectoryTableLibrary();
        String dir = args[0];
        String people = "people." + dir;
        String vault = "vault." + dir;
        String hidden = "hidden.closed." + dir;

        print("open closed", opened(lib, lib.nisplusOpenTable(hidden, "h_tbl")));
        int h = lib.nisplusOpenTable(people, "people_tbl");
        int v = lib.nisplusOpenTable(vault, "vault_tbl");
        print("get-all", rows(lib.nisplusGetAllEntries(h, ""), 3));
        print("get-first/next", iterate(lib, h, ""));
        print("get-all by secret", rows(lib.nisplusGetAllEntries(h, "[secret=s-root],"), 3));
        print("get-all by name", rows(lib.nisplusGetAllEntries(h, "[name=root],"), 3));
        print("get-all vault", rows(lib.nisplusGetAllEntries(v, ""), 2));
        print("get-first/next vault", iterate(lib, v, ""));
        print("modify root's shell", lib.nisplusModifyEntry(h, "[name=root],", 3, new String[] {"root", "s-root", "zsh"}));
        print("modify ada's shell", lib.nisplusModifyEntry(h, "[name=ada],", 3, new String[] {"ada", "s-ada", "zsh"}));
        print("modify ada's secret", lib.nisplusModifyEntry(h, "[name=ada],", 2, new String[] {"ada", "new", "zsh"}));
        print("add", lib.nisplusAddEntry(h, new String[] {"new", "s-new", "sh"}));
        print("delete root", lib.nisplusDeleteEntry(h, "[name=root],"));
        print("add-table", opened(lib, lib.nisplusAddTable(args[1] + "." + dir, "m_tbl", 0x010f0f01,
                new String[] {"Sk"}, (byte) ' ')));
        print("delete-table", lib.nisplusDeleteTable("doomed." + dir));
        print("access people read", lib.nisplusAccess(people, 1));
        print("access people destroy", lib.nisplusAccess(people, 8));
        print("access closed exists", lib.nisplusAccess(hidden, 16));
        lib.nisplusCloseTable(h);
        lib.nisplusCloseTable(v);
    }

    private static void print(String operation, Object result) {
        System.out.println(operation + "=" + result);
    }

    /** 0 for a handle (closed again at once), else the negated status. */
    private static int opened(DirectoryTableLibrary lib, int handle) {
        if (handle < 0) {
            return handle;
        }
        lib.nisplusCloseTable(handle);
        return 0;
    }

    private static String rows(String[] flat, int columns) {
        if (flat == null) {
            return "null";
        }
        List<String> rows = new ArrayList<>();
        for (int i = 0; i < flat.length; i += columns) {
            rows.add(String.join(",", Arrays.copyOfRange(flat, i, Math.min(flat.length, i + columns))));
        }
        return String.join(";", rows);
    }

    private static String iterate(DirectoryTableLibrary lib, int handle, String criteria) {
        List<String> rows = new ArrayList<>();
        for (String[] r = lib.nisplusGetFirstEntry(handle, criteria); r != null; r = lib.nisplusGetNextEntry(handle)) {
            rows.add(String.join(",", r));
        }
        return rows.isEmpty() ? "null" : String.join(";", rows);
    }
}

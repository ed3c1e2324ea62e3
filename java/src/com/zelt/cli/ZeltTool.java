package com.zelt.cli;

import com.zelt.demo.Tables;
import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Command-line tool over the three native libraries, for trying things by hand
 * against a NIS+ namespace (the sandbox's, or a real one).
 *
 * <p>Exit status: 0 on success, 1 when the call failed, 2 for bad arguments.
 */
public final class ZeltTool {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    private static final String HELP = String.join("\n",
            "usage: zelt COMMAND [ARGUMENTS]",
            "",
            "NIS+ tables (names are full NIS+ names, e.g. hosts.org_dir.sandbox.test.):",
            "  list TABLE                         list every entry, one row per entry",
            "  match TABLE CRITERIA               list the entries matching CRITERIA, e.g. '[name=alpha],'",
            "  add TABLE TYPE VALUE...            add an entry (one value per column)",
            "  modify TABLE TYPE CRITERIA COLUMN VALUE...",
            "                                     change column COLUMN (1-based, -1 = all) of the one",
            "                                     entry CRITERIA selects",
            "  delete TABLE TYPE CRITERIA         delete the entry CRITERIA selects",
            "  create-table TABLE TYPE ACCESS SEP COLUMN...",
            "                                     create a table; ACCESS is the access word (hex",
            "                                     0x... or decimal), SEP one character, each COLUMN",
            "                                     a marker (S = searchable, anything else = plain)",
            "                                     followed by the column name",
            "  delete-table TABLE                 delete a table",
            "  access NAME MODE                   test rights on an object (1 read, 2 modify,",
            "                                     4 create, 8 destroy, 16 exists; add them up)",
            "  status CODE                        print the text of a NIS+ status code",
            "",
            "Host:",
            "  compare A B                        order two IPv4 addresses or network numbers",
            "  domain                             print the NIS domain",
            "  master DOMAIN MAP                  print the master server of a NIS map",
            "  launch [--gui] [--env NAME=VALUE]... EUID EGID RUID RGID PROGRAM [ARG...]",
            "                                     start PROGRAM detached under those identities",
            "",
            "  --help                             this text");

    private final PrintStream out;
    private final PrintStream err;

    ZeltTool(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    public static void main(String[] args) {
        System.exit(new ZeltTool(System.out, System.err).run(args));
    }

    /** Thrown for bad arguments; turned into a message and exit status 2. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }

    int run(String[] args) {
        if (args.length == 0 || args[0].equals("--help") || args[0].equals("-h") || args[0].equals("help")) {
            (args.length == 0 ? err : out).println(HELP);
            return args.length == 0 ? USAGE : OK;
        }
        String[] rest = Arrays.copyOfRange(args, 1, args.length);
        try {
            switch (args[0]) {
                case "list":
                    need(rest, 1, 1, "list TABLE");
                    return list(rest[0], "");
                case "match":
                    need(rest, 2, 2, "match TABLE CRITERIA");
                    return list(rest[0], rest[1]);
                case "add":
                    need(rest, 3, Integer.MAX_VALUE, "add TABLE TYPE VALUE...");
                    return add(rest[0], rest[1], Arrays.copyOfRange(rest, 2, rest.length));
                case "modify":
                    need(rest, 5, Integer.MAX_VALUE, "modify TABLE TYPE CRITERIA COLUMN VALUE...");
                    return modify(rest[0], rest[1], rest[2], integer(rest[3], "COLUMN"),
                            Arrays.copyOfRange(rest, 4, rest.length));
                case "delete":
                    need(rest, 3, 3, "delete TABLE TYPE CRITERIA");
                    return delete(rest[0], rest[1], rest[2]);
                case "create-table":
                    need(rest, 4, Integer.MAX_VALUE, "create-table TABLE TYPE ACCESS SEP COLUMN...");
                    return createTable(rest[0], rest[1], integer(rest[2], "ACCESS"), separator(rest[3]),
                            Arrays.copyOfRange(rest, 4, rest.length));
                case "delete-table":
                    need(rest, 1, 1, "delete-table TABLE");
                    return deleteTable(rest[0]);
                case "access":
                    need(rest, 2, 2, "access NAME MODE");
                    return access(rest[0], integer(rest[1], "MODE"));
                case "status":
                    need(rest, 1, 1, "status CODE");
                    out.println(dtl().nisplusGetErrorString(integer(rest[0], "CODE")));
                    return OK;
                case "compare":
                    need(rest, 2, 2, "compare A B");
                    int c = dtl().addressCompare(rest[0], rest[1]);
                    out.println(rest[0] + (c < 0 ? " < " : c > 0 ? " > " : " = ") + rest[1]);
                    return OK;
                case "domain":
                    need(rest, 0, 0, "domain");
                    return printOrFail(dtl().getDomain(), "no NIS domain is set");
                case "master":
                    need(rest, 2, 2, "master DOMAIN MAP");
                    return printOrFail(dtl().nisGetMaster(rest[0], rest[1]),
                            "no master found for map " + rest[1] + " in domain " + rest[0]);
                case "launch":
                    return launch(rest);
                default:
                    throw new UsageException("unknown command '" + args[0] + "'");
            }
        } catch (UsageException e) {
            err.println("zelt: " + e.getMessage());
            err.println("Try 'zelt --help'.");
            return USAGE;
        }
    }

    private static DirectoryTableLibrary dtl() {
        return new DirectoryTableLibrary();
    }

    private static void need(String[] rest, int min, int max, String usage) throws UsageException {
        if (rest.length < min || rest.length > max) {
            throw new UsageException("usage: zelt " + usage);
        }
    }

    static int integer(String s, String what) throws UsageException {
        try {
            if (s.startsWith("0x") || s.startsWith("0X")) {
                return (int) Long.parseLong(s.substring(2), 16);
            }
            return Integer.parseInt(s);
        } catch (NumberFormatException e) {
            throw new UsageException(what + " must be a number, not '" + s + "'");
        }
    }

    private static byte separator(String s) throws UsageException {
        if (s.length() != 1 || s.charAt(0) > 0xFF) {
            throw new UsageException("SEP must be one character, not '" + s + "'");
        }
        return (byte) s.charAt(0);
    }

    private int printOrFail(String value, String failure) {
        if (value == null || value.isEmpty()) {
            err.println("zelt: " + failure);
            return FAILED;
        }
        out.println(value);
        return OK;
    }

    private int nisFailure(String what, int status) {
        err.println("zelt: " + what + " failed: NIS+ status " + status + " ("
                + dtl().nisplusGetErrorString(status) + ")");
        return FAILED;
    }

    /** Opens a table, or reports why not and returns -1. */
    private int open(String table, String type) {
        int h = dtl().nisplusOpenTable(table, type);
        if (h < 0) {
            nisFailure("opening " + table, -h);
            return -1;
        }
        return h;
    }

    private int list(String table, String criteria) {
        DirectoryTableLibrary d = dtl();
        int h = open(table, "");
        if (h < 0) {
            return FAILED;
        }
        try {
            List<String[]> rows = new ArrayList<>();
            for (String[] r = d.nisplusGetFirstEntry(h, criteria); r != null; r = d.nisplusGetNextEntry(h)) {
                rows.add(r);
            }
            if (rows.isEmpty()) {
                err.println("zelt: no entry of " + table + " matches '" + criteria + "'");
                return FAILED;
            }
            Tables.print(out, List.of(), rows);
            out.println("    (" + rows.size() + (rows.size() == 1 ? " entry)" : " entries)"));
            return OK;
        } finally {
            d.nisplusCloseTable(h);
        }
    }

    private int add(String table, String type, String[] values) {
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            int s = dtl().nisplusAddEntry(h, values);
            return s == 0 ? reportOk("added") : nisFailure("add", s);
        } finally {
            dtl().nisplusCloseTable(h);
        }
    }

    private int modify(String table, String type, String criteria, int column, String[] values) {
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            int s = dtl().nisplusModifyEntry(h, criteria, column, values);
            return s == 0 ? reportOk("modified") : nisFailure("modify", s);
        } finally {
            dtl().nisplusCloseTable(h);
        }
    }

    private int delete(String table, String type, String criteria) {
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            int s = dtl().nisplusDeleteEntry(h, criteria);
            return s == 0 ? reportOk("deleted") : nisFailure("delete", s);
        } finally {
            dtl().nisplusCloseTable(h);
        }
    }

    private int createTable(String table, String type, int access, byte sep, String[] columns) {
        int h = dtl().nisplusAddTable(table, type, access, columns, sep);
        if (h < 0) {
            return nisFailure("creating " + table, -h);
        }
        dtl().nisplusCloseTable(h);
        return reportOk("created " + table);
    }

    private int deleteTable(String table) {
        int s = dtl().nisplusDeleteTable(table);
        return s == 0 ? reportOk("deleted " + table) : nisFailure("deleting " + table, -s);
    }

    private int access(String name, int mode) {
        if (dtl().nisplusAccess(name, mode) == 0) {
            return reportOk("granted");
        }
        err.println("zelt: not granted (or no such object)");
        return FAILED;
    }

    private int launch(String[] rest) throws UsageException {
        boolean gui = false;
        List<String> env = new ArrayList<>();
        int i = 0;
        for (; i < rest.length && rest[i].startsWith("--"); i++) {
            if (rest[i].equals("--gui")) {
                gui = true;
            } else if (rest[i].equals("--env") && i + 1 < rest.length && rest[i + 1].contains("=")) {
                env.add(rest[++i]);
            } else {
                throw new UsageException("launch: bad option '" + rest[i] + "'");
            }
        }
        if (rest.length - i < 5) {
            throw new UsageException("usage: zelt launch [--gui] [--env NAME=VALUE]... "
                    + "EUID EGID RUID RGID PROGRAM [ARG...]");
        }
        int euid = integer(rest[i], "EUID");
        int egid = integer(rest[i + 1], "EGID");
        int ruid = integer(rest[i + 2], "RUID");
        int rgid = integer(rest[i + 3], "RGID");
        String program = rest[i + 4];
        if (!program.startsWith("/")) {
            throw new UsageException("launch: PROGRAM must be an absolute path (no PATH search)");
        }
        String[] envArray = env.isEmpty() ? null : env.toArray(new String[0]);
        int r;
        if (gui) {
            String[] args = Arrays.copyOfRange(rest, i + 5, rest.length);
            r = new GuiLauncher().launchapp(1, euid, egid, ruid, rgid, program, envArray, args);
        } else {
            String[] args = Arrays.copyOfRange(rest, i + 4, rest.length);
            r = new CmdLauncher().launchapp(1, euid, egid, ruid, rgid, args, envArray);
        }
        if (r != 0) {
            err.println("zelt: launch failed");
            return FAILED;
        }
        return reportOk("started " + program);
    }

    private int reportOk(String what) {
        out.println(what);
        return OK;
    }
}

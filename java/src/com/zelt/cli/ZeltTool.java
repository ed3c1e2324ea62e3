package com.zelt.cli;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.text.Errno;
import com.zelt.text.Tables;
import java.io.PrintStream;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Command-line tool over the three native libraries, for trying things by hand
 * against a NIS+ namespace (the sandbox's, or a real one).
 *
 * <p>Exit status, for every command: 0 on success, 1 when the call failed
 * (with the NIS+ status and its text, or the errno text), 2 for bad usage.
 */
public final class ZeltTool {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    static final String VERSION = "1.0.0";

    /** One command: its argument synopsis and what its own --help adds. */
    private record Command(String synopsis, String summary, String details) {}

    private static final Map<String, Command> COMMANDS = new LinkedHashMap<>();

    private static void command(String name, String synopsis, String summary, String... details) {
        COMMANDS.put(name, new Command(synopsis, summary, String.join("\n", details)));
    }

    static {
        command("list", "TABLE [CRITERIA]", "list the entries, one row per entry (get-first, get-next)",
                "Prints one row per entry under a header of column numbers (1 = first column).",
                "An empty table prints '(0 entries)' and exits 0; a CRITERIA that matches",
                "nothing exits 1.", criteriaHelp());
        command("match", "TABLE CRITERIA", "the entries CRITERIA selects, fetched at once (get-all)",
                "Fetches every matching entry in one call: the library returns them as one",
                "flat array, entry by entry, rows x columns strings; the tool cuts it into rows.",
                "Exits 1 when nothing matches.", criteriaHelp());
        command("add", "TABLE TYPE VALUE...", "add an entry, one VALUE per column in column order",
                "TYPE is the table's own type (hosts_tbl for hosts.org_dir...): it is written",
                "into the entry, and the server refuses an entry of another type or width.");
        command("modify", "TABLE TYPE CRITERIA COLUMN VALUE...", "change one entry",
                "  modify TABLE TYPE CRITERIA COLUMN VALUE      set column COLUMN (1 = first)",
                "                                               to VALUE, keeping the others",
                "  modify TABLE TYPE CRITERIA -1 VALUE...       replace the whole entry",
                "  modify TABLE TYPE CRITERIA COLUMN VALUE...   send the whole entry (one VALUE",
                "                                               per column), only COLUMN changes",
                "CRITERIA must select exactly one entry; the tool reads it first, so it can",
                "send the whole row with only the chosen column marked as changed.",
                criteriaHelp());
        command("delete", "TABLE TYPE CRITERIA", "delete the one entry CRITERIA selects", criteriaHelp());
        command("create-table", "[--force] TABLE TYPE ACCESS SEP COLUMN...", "create a table",
                "ACCESS is the access word (hex 0x... or decimal; see 'zelt access --help'),",
                "SEP the column separator, one character. Each COLUMN is a marker followed by",
                "the column name: S = searchable, - = plain. The library always drops the",
                "first character as the marker, so 'key' would create a column 'ey'; the tool",
                "refuses a COLUMN without S or - in front, an empty name and a table without",
                "columns unless --force is given (then the library's own rule applies).");
        command("delete-table", "TABLE", "delete a table (it must be empty)");
        command("access", "NAME MODE", "test the rights recorded on a NIS+ object",
                "MODE adds up 1 read, 2 modify, 4 create, 8 destroy, 16 exists (0-31).",
                "Granted means every requested right is in the object's access word for",
                "nobody, its group or the world; the owner's rights are not consulted. It is a",
                "test of the recorded word, not of what a server will let you do: servers",
                "apply their own rules (the sandbox's server enforces none). When not granted,",
                "the tool tells a missing object from a missing right and lists each right.");
        command("status", "CODE", "print the text of a NIS+ status code (0 or more)");
        command("compare", "A B", "order two IPv4 addresses or network numbers (10, 10.1, 10.1.0.1)");
        command("domain", "", "print the NIS domain (exit 1 when none is set)");
        command("master", "DOMAIN MAP", "print the master server of a NIS map (exit 1 when none)");
        command("file-access", "PATH MODE", "test a file with access(2): MODE 0 exists, 4 read, 2 write, 1 execute");
        command("file-create", "PATH UID GID MODE", "create (or truncate) a file with exactly MODE (octal), owned by UID:GID");
        command("file-delete", "PATH", "delete a file");
        command("file-copy-stat", "FROM TO", "give TO the owner, group and permission bits of FROM");
        command("launch", "[--gui] [--env NAME=VALUE]... EUID EGID RUID RGID PROGRAM [ARG...]",
                "start PROGRAM detached under those identities",
                "The identities come in this order: effective user, effective group, real user,",
                "real group; -1 keeps the caller's (root when run as root). PROGRAM is an",
                "absolute path, not searched in PATH. --gui uses the graphical launcher; give",
                "it DISPLAY (and XAUTHORITY, readable by the target user) with --env.",
                "Before the call the tool prints the identities the program will get, warns",
                "when that is root, and refuses (exit 1) a PROGRAM that does not exist or that",
                "those identities may not execute.",
                "A 0 from the launcher means its short-lived child was forked and reaped. It",
                "does not prove that the program started: a failed identity switch or exec is",
                "only reported by the detached process itself, on its standard output or error",
                "('setreuid failed', 'execv error'), and the program's exit status is never",
                "collected.");
    }

    private static String criteriaHelp() {
        return "CRITERIA is '[COLUMN=VALUE,...],' as one shell word, e.g. '[name=alpha],' or\n"
                + "'[cname=beta,addr=10.1.0.2],'; it is put in front of the table name as it is.";
    }

    private static String help() {
        StringBuilder sb = new StringBuilder();
        sb.append("usage: zelt COMMAND [ARGUMENTS]    (zelt COMMAND --help for one command)\n\n");
        sb.append("NIS+ names are full names, e.g. hosts.org_dir.sandbox.test.\n\n");
        for (var e : COMMANDS.entrySet()) {
            String head = "  " + e.getKey() + " " + e.getValue().synopsis();
            sb.append(head);
            if (head.length() > 40) {
                sb.append("\n").append(" ".repeat(42));
            } else {
                sb.append(" ".repeat(42 - head.length()));
            }
            sb.append(e.getValue().summary()).append("\n");
        }
        sb.append("\n  --help, --version\n\n");
        sb.append("Exit status: 0 ok, 1 the call failed (with the NIS+ status and its text, or\n");
        sb.append("the errno text), 2 bad usage.");
        return sb.toString();
    }

    private static String help(String name) {
        Command c = COMMANDS.get(name);
        String s = "usage: zelt " + name + (c.synopsis().isEmpty() ? "" : " " + c.synopsis()) + "\n\n"
                + c.summary() + ".";
        return c.details().isEmpty() ? s : s + "\n\n" + c.details();
    }

    private final PrintStream out;
    private final PrintStream err;
    private DirectoryTableLibrary dtl;
    private String current = "";

    ZeltTool(PrintStream out, PrintStream err) {
        this.out = out;
        this.err = err;
    }

    /** The library, loaded on first use: help, version and usage errors work without it. */
    private DirectoryTableLibrary lib() {
        if (dtl == null) {
            dtl = new DirectoryTableLibrary();
        }
        return dtl;
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
        if (args.length == 0) {
            err.println(help());
            return USAGE;
        }
        String name = args[0];
        if (name.equals("--help") || name.equals("-h") || name.equals("help")) {
            if (args.length == 1) {
                out.println(help());
            } else if (COMMANDS.containsKey(args[1])) {
                out.println(help(args[1]));
            } else {
                err.println("zelt: unknown command '" + args[1] + "'");
                err.println("Try 'zelt --help'.");
                return USAGE;
            }
            return OK;
        }
        if (name.equals("--version")) {
            out.println("zelt " + VERSION);
            return OK;
        }
        String[] rest = Arrays.copyOfRange(args, 1, args.length);
        try {
            if (!COMMANDS.containsKey(name)) {
                throw new UsageException("unknown command '" + name + "'");
            }
            current = name;
            if (Arrays.asList(rest).contains("--help") || Arrays.asList(rest).contains("-h")) {
                out.println(help(name));
                return OK;
            }
            return dispatch(name, rest);
        } catch (LinkageError e) {
            err.println("zelt: cannot load the native libraries: " + e.getMessage());
            return FAILED;
        } catch (UsageException e) {
            err.println("zelt: " + e.getMessage());
            err.println(COMMANDS.containsKey(name) ? "Try 'zelt " + name + " --help'." : "Try 'zelt --help'.");
            return USAGE;
        }
    }

    private int dispatch(String name, String[] rest) throws UsageException {
        switch (name) {
            case "list":
                need(rest, 1, 2);
                return list(rest[0], rest.length > 1 ? criteria(rest[1], true) : "");
            case "match":
                need(rest, 2, 2);
                return match(rest[0], criteria(rest[1], false));
            case "add":
                need(rest, 3, Integer.MAX_VALUE);
                return add(rest[0], rest[1], Arrays.copyOfRange(rest, 2, rest.length));
            case "modify":
                need(rest, 5, Integer.MAX_VALUE);
                return modify(rest[0], rest[1], criteria(rest[2], false), integer(rest[3], "COLUMN"),
                        Arrays.copyOfRange(rest, 4, rest.length));
            case "delete":
                need(rest, 3, 3);
                return delete(rest[0], rest[1], criteria(rest[2], false));
            case "create-table":
                return createTable(rest);
            case "delete-table":
                need(rest, 1, 1);
                return deleteTable(rest[0]);
            case "access":
                need(rest, 2, 2);
                return access(rest[0], accessMode(rest[1]));
            case "status": {
                need(rest, 1, 1);
                int code = integer(rest[0], "CODE");
                if (code < 0) {
                    throw new UsageException("CODE must be a NIS+ status, 0 or more, not " + code
                            + " (the tool prints -N results of the table calls as status N)");
                }
                String text = lib().nisplusGetErrorString(code);
                out.println(text.isEmpty() ? "(no text for status " + code + ")" : text);
                return OK;
            }
            case "compare": {
                need(rest, 2, 2);
                address(rest[0], "A");
                address(rest[1], "B");
                int c = lib().addressCompare(rest[0], rest[1]);
                out.println(rest[0] + (c < 0 ? " < " : c > 0 ? " > " : " = ") + rest[1]);
                return OK;
            }
            case "domain":
                need(rest, 0, 0);
                return printOrFail(lib().getDomain(), "no NIS domain is set");
            case "master":
                need(rest, 2, 2);
                return printOrFail(lib().nisGetMaster(rest[0], rest[1]),
                        "no master found for map " + rest[1] + " in domain " + rest[0]
                                + " (no such map or domain, or no NIS server answers)");
            case "file-access":
                need(rest, 2, 2);
                return errnoResult("access " + rest[0], lib().fileAccess(rest[0], fileMode(rest[1], 7, "MODE")),
                        "accessible");
            case "file-create":
                need(rest, 4, 4);
                return errnoResult("create " + rest[0], lib().fileCreate(rest[0], integer(rest[1], "UID"),
                        integer(rest[2], "GID"), octal(rest[3])), "created " + rest[0]);
            case "file-delete":
                need(rest, 1, 1);
                return errnoResult("delete " + rest[0], lib().fileDelete(rest[0]), "deleted " + rest[0]);
            case "file-copy-stat":
                need(rest, 2, 2);
                return errnoResult("copy owner and mode of " + rest[0] + " to " + rest[1],
                        lib().fileCopyStat(rest[0], rest[1]), "copied owner and mode to " + rest[1]);
            case "launch":
                return launch(rest);
            default:
                throw new UsageException("unknown command '" + name + "'");
        }
    }

    private void need(String[] rest, int min, int max) throws UsageException {
        if (rest.length < min || rest.length > max) {
            throw new UsageException("usage: zelt " + current + " " + COMMANDS.get(current).synopsis());
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

    private static int octal(String s) throws UsageException {
        try {
            int m = Integer.parseInt(s, 8);
            if (m >= 0 && m <= 07777) {
                return m;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new UsageException("MODE must be an octal permission mode such as 0640, not '" + s + "'");
    }

    private static int fileMode(String s, int max, String what) throws UsageException {
        int m = integer(s, what);
        if (m < 0 || m > max) {
            throw new UsageException(what + " must be 0 to " + max + ", not " + m);
        }
        return m;
    }

    private static int accessMode(String s) throws UsageException {
        int m = integer(s, "MODE");
        if (m < 0 || m > 31) {
            throw new UsageException("MODE must add up 1 read, 2 modify, 4 create, 8 destroy and 16 exists "
                    + "(0 to 31), not " + m);
        }
        return m;
    }

    private static String criteria(String c, boolean emptyOk) throws UsageException {
        String problem = Criteria.problem(c);
        if (problem != null) {
            throw new UsageException(problem);
        }
        if (c.isEmpty() && !emptyOk) {
            throw new UsageException("CRITERIA must not be empty: write " + Criteria.FORM);
        }
        return c;
    }

    /** A dotted IPv4 address or network number: one to four parts of 0 to 255. */
    private static void address(String s, String what) throws UsageException {
        String[] parts = s.split("\\.", -1);
        boolean ok = parts.length <= 4;
        for (String p : parts) {
            ok &= p.matches("[0-9]{1,3}") && Integer.parseInt(p) <= 255;
        }
        if (!ok) {
            throw new UsageException(what + " must be an IPv4 address or network number "
                    + "(10, 129.144, 10.0.0.1), not '" + s + "'");
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
        String text = lib().nisplusGetErrorString(status);
        err.println("zelt: " + what + " failed: NIS+ status " + status + " ("
                + (text.isEmpty() ? "no text" : text) + ")" + hint(status));
        return FAILED;
    }

    /** What a status most often means for this tool's user. */
    private static String hint(int status) {
        return switch (status) {
            case 24 -> "\n  (TYPE must be the table's own type, and an entry needs one value per column)";
            case 21 -> "\n  (the criteria selects more than one entry)";
            case 29, 30 -> "\n  (a column of the criteria is not a searchable column of the table)";
            default -> "";
        };
    }

    private int errnoResult(String what, int errno, String done) {
        if (errno == 0) {
            return reportOk(done);
        }
        err.println("zelt: " + what + " failed: errno " + errno + " (" + Errno.text(errno) + ")");
        return FAILED;
    }

    /** Opens a table, or reports why not and returns -1. */
    private int open(String table, String type) {
        int h = lib().nisplusOpenTable(table, type);
        if (h < 0) {
            nisFailure("opening " + table, -h);
            if (-h == 13) {
                err.println("  (13 is also what open returns when all 32 table handles are in use)");
            }
            return -1;
        }
        return h;
    }

    private List<String[]> readAll(int h, String criteria) {
        List<String[]> rows = new ArrayList<>();
        for (String[] r = lib().nisplusGetFirstEntry(h, criteria); r != null; r = lib().nisplusGetNextEntry(h)) {
            rows.add(r);
        }
        return rows;
    }

    private int list(String table, String criteria) {
        int h = open(table, "");
        if (h < 0) {
            return FAILED;
        }
        try {
            return show(table, criteria, readAll(h, criteria));
        } finally {
            lib().nisplusCloseTable(h);
        }
    }

    private int match(String table, String criteria) {
        int h = open(table, "");
        if (h < 0) {
            return FAILED;
        }
        try {
            String[] flat = lib().nisplusGetAllEntries(h, criteria);
            if (flat == null) {
                return show(table, criteria, List.of());
            }
            // The flat listing does not carry its width: the first entry does.
            String[] first = lib().nisplusGetFirstEntry(h, criteria);
            int columns = first == null ? 0 : first.length;
            if (columns == 0) {
                return show(table, criteria, List.<String[]>of(new String[0]));
            }
            return show(table, criteria, Tables.rows(flat, columns));
        } finally {
            lib().nisplusCloseTable(h);
        }
    }

    /** Prints a listing, or explains why there is nothing to print. */
    private int show(String table, String criteria, List<String[]> rows) {
        if (rows.isEmpty()) {
            if (!criteria.isEmpty()) {
                return noMatch(table, criteria);
            }
            // The listing calls answer null for an empty table as for an
            // error; the table was just opened, so ask whether it still exists.
            if (lib().nisplusAccess(table, 16) != 0) {
                err.println("zelt: cannot list " + table + ": it no longer exists or cannot be read");
                return FAILED;
            }
            out.println("    (0 entries)");
            return OK;
        }
        if (rows.stream().allMatch(r -> r.length == 0)) {
            err.println("zelt: " + table + " is not a table: it holds " + rows.size()
                    + (rows.size() == 1 ? " object that is not an entry" : " objects that are not entries")
                    + " (a directory?)");
            return FAILED;
        }
        int columns = rows.stream().mapToInt(r -> r.length).max().orElse(0);
        Tables.print(out, Tables.numbered(columns), rows);
        out.println("    (" + rows.size() + (rows.size() == 1 ? " entry)" : " entries)"));
        return OK;
    }

    private int noMatch(String table, String criteria) {
        err.println("zelt: no entry of " + table + " matches '" + criteria + "'");
        // The listing calls answer null for a refused search as for no match.
        err.println("  (or a column of the criteria does not exist or is not searchable)");
        return FAILED;
    }

    private int add(String table, String type, String[] values) {
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            int s = lib().nisplusAddEntry(h, values);
            return s == 0 ? reportOk("added") : nisFailure("add", s);
        } finally {
            lib().nisplusCloseTable(h);
        }
    }

    private int modify(String table, String type, String criteria, int column, String[] values)
            throws UsageException {
        if (column != -1 && column < 1) {
            throw new UsageException("COLUMN must be 1 or more (1 = first column), or -1 for all, not " + column);
        }
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            String[] first = lib().nisplusGetFirstEntry(h, criteria);
            if (first == null) {
                return noMatch(table, criteria);
            }
            String[] flat = lib().nisplusGetAllEntries(h, criteria);
            int matches = flat == null || first.length == 0 ? 1 : flat.length / first.length;
            if (matches > 1) {
                err.println("zelt: '" + criteria + "' selects " + matches + " entries of " + table
                        + "; modify changes exactly one: add columns to the criteria");
                return FAILED;
            }
            int columns = first.length;
            if (column > columns) {
                throw new UsageException("COLUMN " + column + " is past the last column: the entry has "
                        + columns);
            }
            String[] row;
            if (column != -1 && values.length == 1) {
                row = first.clone();
                row[column - 1] = values[0];
            } else if (values.length == columns) {
                row = values;
            } else {
                throw new UsageException("the entry has " + columns + " columns but " + values.length
                        + " values were given: give one VALUE with a COLUMN, or one VALUE per column");
            }
            int s = lib().nisplusModifyEntry(h, criteria, column, row);
            if (s != 0) {
                return nisFailure("modify", s);
            }
            out.println("modified " + (column == -1 ? "every column" : "column " + column) + " of the entry");
            List<String> header = new ArrayList<>(List.of(""));
            header.addAll(Tables.numbered(columns));
            Tables.print(out, header, List.of(prefixed("was", first), prefixed("now", row)));
            return OK;
        } finally {
            lib().nisplusCloseTable(h);
        }
    }

    private static String[] prefixed(String label, String[] row) {
        String[] r = new String[row.length + 1];
        r[0] = label;
        System.arraycopy(row, 0, r, 1, row.length);
        return r;
    }

    private int delete(String table, String type, String criteria) {
        int h = open(table, type);
        if (h < 0) {
            return FAILED;
        }
        try {
            int s = lib().nisplusDeleteEntry(h, criteria);
            return s == 0 ? reportOk("deleted") : nisFailure("delete", s);
        } finally {
            lib().nisplusCloseTable(h);
        }
    }

    private int createTable(String[] args) throws UsageException {
        boolean force = args.length > 0 && args[0].equals("--force");
        String[] rest = force ? Arrays.copyOfRange(args, 1, args.length) : args;
        need(rest, 4, Integer.MAX_VALUE);
        String table = rest[0];
        int access = integer(rest[2], "ACCESS");
        byte sep = separator(rest[3]);
        String[] columns = Arrays.copyOfRange(rest, 4, rest.length);
        if (!force) {
            if (columns.length == 0) {
                throw new UsageException("a table needs at least one COLUMN (--force creates one without)");
            }
            for (String c : columns) {
                boolean marked = !c.isEmpty() && (c.charAt(0) == 'S' || c.charAt(0) == '-');
                if (marked && c.length() == 1) {
                    throw new UsageException("COLUMN '" + c + "' is a marker without a column name "
                            + "(--force creates a column with an empty name)");
                }
                if (!marked) {
                    String name = c.isEmpty() ? "" : c.substring(1);
                    throw new UsageException("COLUMN '" + c + "' has no marker: the first character is "
                            + "always taken as the marker, so it would create column '" + name
                            + "'. Write S" + c + " (searchable) or -" + c + " (plain), or --force");
                }
            }
        }
        int h = lib().nisplusAddTable(table, rest[1], access, columns, sep);
        if (h < 0) {
            return nisFailure("creating " + table, -h);
        }
        lib().nisplusCloseTable(h);
        return reportOk("created " + table);
    }

    private int deleteTable(String table) {
        int s = lib().nisplusDeleteTable(table);
        return s == 0 ? reportOk("deleted " + table) : nisFailure("deleting " + table, -s);
    }

    private static final String[] RIGHTS = {"read", "modify", "create", "destroy"};

    private int access(String name, int mode) {
        if (lib().nisplusAccess(name, mode) == 0) {
            return reportOk("granted" + rightsOf(mode));
        }
        // The library answers -1 for a missing object and a missing right
        // alike: ask again, one bit at a time.
        if (lib().nisplusAccess(name, 16) != 0) {
            err.println("zelt: no such object " + name + " (or it cannot be looked up)");
            return FAILED;
        }
        List<String> granted = new ArrayList<>();
        List<String> refused = new ArrayList<>();
        for (int i = 0; i < RIGHTS.length; i++) {
            if ((mode & (1 << i)) != 0) {
                (lib().nisplusAccess(name, 1 << i) == 0 ? granted : refused).add(RIGHTS[i]);
            }
        }
        err.println("zelt: not granted: " + String.join(", ", refused) + (granted.isEmpty() ? ""
                : " (granted: " + String.join(", ", granted) + ")") + "; " + name + " exists, but its "
                + "access word gives those rights to neither nobody, its group nor the world (owner "
                + "rights are not consulted)");
        return FAILED;
    }

    private static String rightsOf(int mode) {
        List<String> r = new ArrayList<>();
        for (int i = 0; i < RIGHTS.length; i++) {
            if ((mode & (1 << i)) != 0) {
                r.add(RIGHTS[i]);
            }
        }
        if ((mode & 16) != 0) {
            r.add("exists");
        }
        return r.isEmpty() ? " (nothing requested; the object exists)" : ": " + String.join(", ", r);
    }

    private int launch(String[] rest) throws UsageException {
        boolean gui = false;
        List<String> env = new ArrayList<>();
        int i = 0;
        for (; i < rest.length && rest[i].startsWith("--"); i++) {
            if (rest[i].equals("--gui")) {
                gui = true;
            } else if (rest[i].equals("--env") && i + 1 < rest.length && rest[i + 1].indexOf('=') > 0) {
                env.add(rest[++i]);
            } else if (rest[i].equals("--")) {
                i++;
                break;
            } else {
                throw new UsageException("launch: bad option '" + rest[i] + "' (--env needs NAME=VALUE)");
            }
        }
        if (rest.length - i < 5) {
            throw new UsageException("usage: zelt launch " + COMMANDS.get("launch").synopsis());
        }
        int euid = identity(rest[i], "EUID");
        int egid = identity(rest[i + 1], "EGID");
        int ruid = identity(rest[i + 2], "RUID");
        int rgid = identity(rest[i + 3], "RGID");
        String program = rest[i + 4];
        if (!program.startsWith("/")) {
            throw new UsageException("launch: PROGRAM must be an absolute path (no PATH search)");
        }
        Identities target = Identities.current().after(euid, egid, ruid, rgid);
        out.println("launching " + program + " as " + target.describe());
        if (target.anyRoot()) {
            err.println("zelt: warning: " + program + " will run as root"
                    + (euid == -1 || ruid == -1 ? " (-1 keeps the caller's identity)" : ""));
        }
        String why = target.whyNotExecutable(Paths.get(program));
        if (why != null) {
            err.println("zelt: cannot launch " + program + ": " + why);
            return FAILED;
        }
        if (gui && env.stream().noneMatch(e -> e.startsWith("DISPLAY=")) && System.getenv("DISPLAY") == null) {
            err.println("zelt: warning: no DISPLAY, neither in --env nor inherited: an X program will not "
                    + "find a display");
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
            err.println("zelt: launch failed: the launcher returned " + r
                    + " (no process could be forked, or its first child was not reaped)");
            return FAILED;
        }
        return reportOk("started " + program + " detached; the launcher's 0 does not report the "
                + "program's own start or exit (see 'zelt launch --help')");
    }

    private static int identity(String s, String what) throws UsageException {
        int id = integer(s, what);
        if (id < -1) {
            throw new UsageException(what + " must be a user or group id, or -1 to keep the caller's, not " + id);
        }
        return id;
    }

    private int reportOk(String what) {
        out.println(what);
        return OK;
    }
}

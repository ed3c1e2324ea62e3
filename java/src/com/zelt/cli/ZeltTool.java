package com.zelt.cli;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.text.Errno;
import com.zelt.text.Tables;
import java.io.PrintStream;
import java.math.BigInteger;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * Command-line tool over the three native libraries, for trying things by hand
 * against a NIS+ namespace (the sandbox's, or a real one).
 *
 * <p>Options come first: as with getopt, they end at the first operand and at
 * {@code --}, so everything after them (a launched program's own arguments,
 * say) is passed on as it is. A number operand such as {@code -1} ends them too.
 *
 * <p>Exit status, for every command: 0 on success, 1 when the call failed
 * (with the NIS+ status and its text, or the errno text), 2 for bad usage.
 */
public final class ZeltTool {
    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    static final String VERSION = "1.0.0";

    /** What a command does with its parsed command line. */
    @FunctionalInterface
    private interface Action {
        int run(ZeltTool tool, Line line) throws UsageException;
    }

    /**
     * One command: its options (flags, and options that take a value), how many
     * operands it takes, its help texts and what it does.
     */
    private record Command(String synopsis, String summary, String details, Set<String> flags,
            Set<String> valued, int min, int max, Action action) {}

    private static final int MANY = Integer.MAX_VALUE;

    /** The one list of commands, in the order help shows them. */
    private static final Map<String, Command> COMMANDS = new LinkedHashMap<>();

    private static void command(String name, String synopsis, int min, int max, Action action, String summary,
            String... details) {
        options(name, Set.of(), Set.of(), synopsis, min, max, action, summary, details);
    }

    private static void options(String name, Set<String> flags, Set<String> valued, String synopsis, int min,
            int max, Action action, String summary, String... details) {
        COMMANDS.put(name, new Command(synopsis, summary, String.join("\n", details), flags, valued, min, max,
                action));
    }

    static {
        command("list", "TABLE [CRITERIA]", 1, 2,
                (t, l) -> t.list(l.arg(0), l.count() > 1 ? criteria(l.arg(1), true) : ""),
                "list the entries, one row per entry (get-first, get-next)",
                "Prints one row per entry under a header of column numbers (1 = first column).",
                "An empty table prints '(0 entries)' and exits 0; a CRITERIA that matches",
                "nothing exits 1.", criteriaHelp());
        command("match", "TABLE CRITERIA", 2, 2, (t, l) -> t.match(l.arg(0), criteria(l.arg(1), false)),
                "the entries CRITERIA selects, fetched at once (get-all)",
                "Fetches every matching entry in one call: the library returns them as one",
                "flat array, entry by entry, rows x columns strings; the tool cuts it into rows.",
                "Exits 1 when nothing matches.", criteriaHelp());
        command("add", "TABLE TYPE VALUE...", 3, MANY, (t, l) -> t.add(l.arg(0), l.arg(1), l.from(2)),
                "add an entry, one VALUE per column in column order",
                "TYPE is the table's own type (hosts_tbl for hosts.org_dir...): it is written",
                "into the entry, and the server refuses an entry of another type or width.");
        command("modify", "TABLE TYPE CRITERIA COLUMN VALUE...", 5, MANY,
                (t, l) -> t.modify(l.arg(0), l.arg(1), criteria(l.arg(2), false),
                        number(l.arg(3), "COLUMN", Integer.MIN_VALUE, Integer.MAX_VALUE), l.from(4)),
                "change one entry",
                "  modify TABLE TYPE CRITERIA COLUMN VALUE      set column COLUMN (1 = first)",
                "                                               to VALUE, keeping the others",
                "  modify TABLE TYPE CRITERIA -1 VALUE...       replace the whole entry",
                "  modify TABLE TYPE CRITERIA COLUMN VALUE...   send the whole entry (one VALUE",
                "                                               per column), only COLUMN changes",
                "CRITERIA must select exactly one entry; the tool reads it first, so it can",
                "send the whole row with only the chosen column marked as changed.",
                criteriaHelp());
        command("delete", "TABLE TYPE CRITERIA", 3, 3,
                (t, l) -> t.delete(l.arg(0), l.arg(1), criteria(l.arg(2), false)),
                "delete the one entry CRITERIA selects", criteriaHelp());
        options("create-table", Set.of("--force"), Set.of(), "[--force] TABLE TYPE ACCESS SEP COLUMN...", 4,
                MANY, ZeltTool::createTable, "create a table",
                "ACCESS is the 32-bit access word (hex 0x... or decimal; see 'zelt access",
                "--help'), SEP the column separator, one character. Each COLUMN is a marker",
                "followed by the column name: S = searchable, - = plain. The library always",
                "drops the first character as the marker, so 'key' would create a column 'ey';",
                "the tool refuses a COLUMN without S or - in front, an empty name and a table",
                "without columns unless --force is given (then the library's own rule applies).");
        command("delete-table", "TABLE", 1, 1, (t, l) -> t.deleteTable(l.arg(0)),
                "delete a table (it must be empty)");
        command("access", "NAME MODE", 2, 2, (t, l) -> t.access(l.arg(0), accessMode(l.arg(1))),
                "test the rights recorded on a NIS+ object",
                "MODE adds up 1 read, 2 modify, 4 create, 8 destroy, 16 exists (0-31).",
                "Granted means every requested right is in the object's access word for",
                "nobody, its group or the world; the owner's rights are not consulted. It is a",
                "test of the recorded word, not of what a server will let you do: servers",
                "apply their own rules (the sandbox's server enforces none). When not granted,",
                "the tool tells a missing object from a missing right and lists each right.");
        command("status", "CODE", 1, 1, (t, l) -> t.status(l.arg(0)),
                "print the text of a NIS+ status code (0 or more)");
        command("compare", "A B", 2, 2, (t, l) -> t.compare(l.arg(0), l.arg(1)),
                "order two IPv4 addresses or network numbers (10, 10.1, 10.1.0.1)");
        command("domain", "", 0, 0, (t, l) -> t.printOrFail(t.lib().getDomain(), "no NIS domain is set"),
                "print the NIS domain (exit 1 when none is set)");
        command("master", "DOMAIN MAP", 2, 2,
                (t, l) -> t.printOrFail(t.lib().nisGetMaster(l.arg(0), l.arg(1)),
                        "no master found for map " + l.arg(1) + " in domain " + l.arg(0)
                                + " (no such map or domain, or no NIS server answers)"),
                "print the master server of a NIS map (exit 1 when none)");
        command("file-access", "PATH MODE", 2, 2,
                (t, l) -> t.errnoResult("access " + l.arg(0),
                        t.lib().fileAccess(l.arg(0), number(l.arg(1), "MODE", 0, 7)), "accessible"),
                "test a file with access(2): MODE 0 exists, 4 read, 2 write, 1 execute");
        command("file-create", "PATH UID GID MODE", 4, 4,
                (t, l) -> t.errnoResult("create " + l.arg(0),
                        t.lib().fileCreate(l.arg(0), number(l.arg(1), "UID", -1, Integer.MAX_VALUE),
                                number(l.arg(2), "GID", -1, Integer.MAX_VALUE), octal(l.arg(3))),
                        "created " + l.arg(0)),
                "create (or truncate) a file with exactly MODE (octal), owned by UID:GID");
        command("file-delete", "PATH", 1, 1,
                (t, l) -> t.errnoResult("delete " + l.arg(0), t.lib().fileDelete(l.arg(0)), "deleted " + l.arg(0)),
                "delete a file");
        command("file-copy-stat", "FROM TO", 2, 2,
                (t, l) -> t.errnoResult("copy owner and mode of " + l.arg(0) + " to " + l.arg(1),
                        t.lib().fileCopyStat(l.arg(0), l.arg(1)), "copied owner and mode to " + l.arg(1)),
                "give TO the owner, group and permission bits of FROM");
        options("launch", Set.of("--gui"), Set.of("--env"),
                "[--gui] [--env NAME=VALUE]... [--] EUID EGID RUID RGID PROGRAM [ARG...]", 5, MANY,
                ZeltTool::launch, "start PROGRAM detached under those identities",
                "The identities come in this order: effective user, effective group, real user,",
                "real group; -1 keeps the caller's (root when run as root). PROGRAM is an",
                "absolute path, not searched in PATH. Options end at EUID: every ARG after",
                "PROGRAM, -h included, goes to the program. --gui uses the graphical launcher;",
                "give it DISPLAY (and XAUTHORITY, readable by the target user) with --env.",
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
        sb.append("Options end at a command's first operand and at --, as with getopt.\n");
        sb.append("Numbers are decimal or 0x... hexadecimal.\n\n");
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

    /** A command line after its options: the flags given, the options' values and the operands. */
    record Line(Set<String> flags, Map<String, List<String>> values, List<String> operands, boolean help) {
        String arg(int i) {
            return operands.get(i);
        }

        int count() {
            return operands.size();
        }

        String[] from(int i) {
            return operands.subList(i, operands.size()).toArray(new String[0]);
        }

        List<String> values(String option) {
            return values.getOrDefault(option, List.of());
        }
    }

    /**
     * Splits a command's arguments as getopt does: options first, ended by the
     * first operand or by "--"; everything after is an operand, even when it
     * starts with '-'. A '-' followed by a digit is a number, so an operand.
     */
    static Line parse(String name, String[] args) throws UsageException {
        Command c = COMMANDS.get(name);
        Set<String> flags = new HashSet<>();
        Map<String, List<String>> values = new LinkedHashMap<>();
        int i = 0;
        for (; i < args.length; i++) {
            String a = args[i];
            boolean option = a.length() > 1 && a.charAt(0) == '-' && !Character.isDigit(a.charAt(1));
            if (!option) {
                break;
            }
            if (a.equals("--")) {
                i++;
                break;
            }
            if (a.equals("-h") || a.equals("--help")) {
                return new Line(Set.of(), Map.of(), List.of(), true);
            }
            if (c.flags().contains(a)) {
                flags.add(a);
            } else if (c.valued().contains(a)) {
                if (i + 1 == args.length) {
                    throw new UsageException(a + " needs a value");
                }
                values.computeIfAbsent(a, k -> new ArrayList<>()).add(args[++i]);
            } else {
                throw new UsageException("bad option '" + a + "'");
            }
        }
        List<String> operands = List.of(Arrays.copyOfRange(args, i, args.length));
        if (operands.size() < c.min() || operands.size() > c.max()) {
            throw new UsageException("usage: zelt " + name + " " + c.synopsis());
        }
        return new Line(flags, values, operands, false);
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
        try {
            Command c = COMMANDS.get(name);
            if (c == null) {
                throw new UsageException("unknown command '" + name + "'");
            }
            Line line = parse(name, Arrays.copyOfRange(args, 1, args.length));
            if (line.help()) {
                out.println(help(name));
                return OK;
            }
            return c.action().run(this, line);
        } catch (LinkageError e) {
            err.println("zelt: cannot load the native libraries: " + e.getMessage());
            return FAILED;
        } catch (UsageException e) {
            err.println("zelt: " + e.getMessage());
            err.println(COMMANDS.containsKey(name) ? "Try 'zelt " + name + " --help'." : "Try 'zelt --help'.");
            return USAGE;
        }
    }

    private int status(String arg) throws UsageException {
        int code = number(arg, "CODE", Integer.MIN_VALUE, Integer.MAX_VALUE);
        if (code < 0) {
            throw new UsageException("CODE must be a NIS+ status, 0 or more, not " + code
                    + " (the tool prints -N results of the table calls as status N)");
        }
        String text = lib().nisplusGetErrorString(code);
        out.println(text.isEmpty() ? "(no text for status " + code + ")" : text);
        return OK;
    }

    private int compare(String a, String b) throws UsageException {
        address(a, "A");
        address(b, "B");
        int c = lib().addressCompare(a, b);
        out.println(a + (c < 0 ? " < " : c > 0 ? " > " : " = ") + b);
        return OK;
    }

    /**
     * A decimal or 0x... hexadecimal number from min to max, checked before it
     * becomes an int: callers pass a range within int, or up to 0xFFFFFFFF for
     * a 32-bit word (then 0x80000000 and above keep their bits, as negative ints).
     */
    static int number(String s, String what, long min, long max) throws UsageException {
        boolean hex = s.startsWith("0x") || s.startsWith("0X");
        String digits = hex ? s.substring(2) : s;
        if (!digits.matches(hex ? "[0-9a-fA-F]+" : "[-+]?[0-9]+")) {
            throw new UsageException(what + " must be a number, not '" + s + "'");
        }
        BigInteger v = new BigInteger(digits, hex ? 16 : 10);
        if (v.compareTo(BigInteger.valueOf(min)) < 0 || v.compareTo(BigInteger.valueOf(max)) > 0) {
            throw new UsageException(what + " must be " + min + " to " + max + ", not " + s);
        }
        return (int) v.longValue();
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

    private static int accessMode(String s) throws UsageException {
        int m = number(s, "MODE", Integer.MIN_VALUE, Integer.MAX_VALUE);
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

    private int createTable(Line line) throws UsageException {
        boolean force = line.flags().contains("--force");
        String table = line.arg(0);
        int access = number(line.arg(2), "ACCESS", 0, 0xFFFFFFFFL);
        byte sep = separator(line.arg(3));
        String[] columns = line.from(4);
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
        int h = lib().nisplusAddTable(table, line.arg(1), access, columns, sep);
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

    private int launch(Line line) throws UsageException {
        boolean gui = line.flags().contains("--gui");
        List<String> env = line.values("--env");
        for (String e : env) {
            if (e.indexOf('=') <= 0) {
                throw new UsageException("--env needs NAME=VALUE, not '" + e + "'");
            }
        }
        int euid = identity(line.arg(0), "EUID");
        int egid = identity(line.arg(1), "EGID");
        int ruid = identity(line.arg(2), "RUID");
        int rgid = identity(line.arg(3), "RGID");
        String program = line.arg(4);
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
            r = new GuiLauncher().launchapp(1, euid, egid, ruid, rgid, program, envArray, line.from(5));
        } else {
            r = new CmdLauncher().launchapp(1, euid, egid, ruid, rgid, line.from(4), envArray);
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
        int id = number(s, what, Integer.MIN_VALUE, Integer.MAX_VALUE);
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

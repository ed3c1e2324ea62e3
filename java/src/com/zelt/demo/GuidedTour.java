package com.zelt.demo;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.text.Errno;
import com.zelt.text.Tables;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A guided tour of the three libraries: every step prints the call it makes
 * and what came back. Runs against the NIS+ directory named by the
 * environment variable NISPLUS_DIRECTORY (default: the NIS domain plus ".").
 */
public final class GuidedTour {
    private static final int NOBODY = 65534;
    private static final int NOGROUP = 65534;

    private final PrintStream out = System.out;
    private final DirectoryTableLibrary dtl = new DirectoryTableLibrary();
    private final String directory;
    private int step;

    private GuidedTour(String directory) {
        this.directory = directory;
    }

    public static void main(String[] args) throws Exception {
        String dir = System.getenv("NISPLUS_DIRECTORY");
        if (dir == null || dir.isEmpty()) {
            dir = new DirectoryTableLibrary().getDomain() + ".";
        }
        if (args.length == 3 && args[0].equals(AS_ANOTHER_CALLER)) {
            new GuidedTour(dir).anotherCallersCalls(args[1], args[2]);
            return;
        }
        new GuidedTour(dir).run();
    }

    private void run() throws IOException, InterruptedException {
        out.println("Guided tour of libnamestore, libCmdLauncher and libGuiLauncher");
        out.println("NIS+ directory: " + directory);
        domainAndMaps();
        String hosts = "hosts.org_dir." + directory;
        readTable(hosts);
        statusTexts();
        changeEntries();
        filesOnTheHost();
        addressOrder();
        launchAsAnotherUser();
        xApplication();
        section("Done");
        out.println("Every call above went through the real libraries: in this JVM, or in the one it");
        out.println("started as nobody to show the access rights.");
    }

    private void section(String title) {
        out.println();
        out.println("== " + (++step) + ". " + title + " " + "=".repeat(Math.max(0, 66 - title.length())));
    }

    private void call(String text, Object result) {
        shown(text, show(result));
    }

    private void shown(String text, String result) {
        out.println("  " + text + "  ->  " + result);
    }

    /** A raw NIS+ status: 0, or the code and its text. */
    private void callStatus(String text, int status) {
        shown(text, status == 0 ? "0" : status + " (" + dtl.nisplusGetErrorString(status) + ")");
    }

    /** A handle or 0 as it is, or a negated NIS+ status and its text. */
    private void callNegated(String text, int handle) {
        shown(text, handle >= 0 ? Integer.toString(handle)
                : handle + " (" + dtl.nisplusGetErrorString(-handle) + ")");
    }

    /** 0, or an errno value and its text. */
    private void callErrno(String text, int errno) {
        shown(text, errno == 0 ? "0" : errno + " (" + Errno.text(errno) + ")");
    }

    /** An address comparison's sign, said in words. */
    private void callOrder(String text, int order) {
        String words = order < 0 ? "first sorts before second"
                : order > 0 ? "first sorts after second" : "same place";
        shown(text, order + " (" + words + ")");
    }

    /** A launch result: 0, or -1 and what it means. */
    private void callLaunch(String text, int result) {
        shown(text, result == 0 ? "0 (first child started and reaped)"
                : result + " (refused, or the fork or the wait failed)");
    }

    /** The access test's 0 (granted) or -1. */
    private void callAccess(String text, int result) {
        shown(text, result == 0 ? "0 (granted)"
                : result + " (not granted to nobody, the group or the world, or no such object)");
    }

    private static String show(Object o) {
        if (o == null) {
            return "null";
        }
        if (o instanceof String s) {
            return "\"" + s + "\"";
        }
        if (o instanceof String[] a) {
            return Arrays.toString(a);
        }
        return o.toString();
    }

    private void domainAndMaps() {
        section("The NIS domain and the master of a NIS map");
        String domain = dtl.getDomain();
        call("getDomain()", domain);
        call("nisGetMaster(\"" + domain + "\", \"hosts.byname\")", dtl.nisGetMaster(domain, "hosts.byname"));
        String none = dtl.nisGetMaster(domain, "no.such.map");
        shown("nisGetMaster(\"" + domain + "\", \"no.such.map\")",
                show(none) + (none.isEmpty() ? " (no master: no such map, or NIS gave no answer)" : ""));
    }

    private void readTable(String hosts) {
        section("Open a table and read it one entry at a time");
        int h = dtl.nisplusOpenTable(hosts, "hosts_tbl");
        callNegated("nisplusOpenTable(\"" + hosts + "\", \"hosts_tbl\")", h);
        if (h < 0) {
            out.println("  (cannot open: " + dtl.nisplusGetErrorString(-h) + ")");
            return;
        }
        List<String[]> rows = new ArrayList<>();
        String[] row = dtl.nisplusGetFirstEntry(h, "");
        call("nisplusGetFirstEntry(" + h + ", \"\")", row);
        while (row != null) {
            rows.add(row);
            row = dtl.nisplusGetNextEntry(h);
            if (rows.size() < 3) {
                call("nisplusGetNextEntry(" + h + ")", row);
            }
        }
        out.println("  ... get-next until null: " + rows.size() + " entries");
        Tables.print(out, List.of("cname", "name", "addr", "comment"), rows.subList(0, Math.min(8, rows.size())));
        if (rows.size() > 8) {
            out.println("    ... (" + (rows.size() - 8) + " more)");
        }

        section("All entries at once, and a match by criteria");
        String[] flat = dtl.nisplusGetAllEntries(h, "");
        int columns = rows.isEmpty() ? 0 : rows.get(0).length;
        shown("nisplusGetAllEntries(" + h + ", \"\")", "String[" + (flat == null ? 0 : flat.length) + "] = "
                + (flat == null ? 0 : flat.length / Math.max(1, columns)) + " rows x " + columns + " columns");
        if (!rows.isEmpty()) {
            String criteria = "[name=" + rows.get(0)[1] + "],";
            String[] match = dtl.nisplusGetAllEntries(h, criteria);
            call("nisplusGetAllEntries(" + h + ", \"" + criteria + "\")", match);
            Tables.print(out, List.of("cname", "name", "addr", "comment"), Tables.rows(match, columns));
        }
        call("nisplusGetAllEntries(" + h + ", \"[name=nosuchhost],\")",
                dtl.nisplusGetAllEntries(h, "[name=nosuchhost],"));
        dtl.nisplusCloseTable(h);
        out.println("  nisplusCloseTable(" + h + ")");
        callNegated("nisplusOpenTable(\"nosuch.org_dir." + directory + "\", \"x\")",
                dtl.nisplusOpenTable("nosuch.org_dir." + directory, "x"));
    }

    private void statusTexts() {
        section("NIS+ statuses as text");
        for (int s : new int[] {0, 2, 5, 13, 20, 23, 41, 9999}) {
            call("nisplusGetErrorString(" + s + ")", dtl.nisplusGetErrorString(s));
        }
    }

    private void changeEntries() throws IOException, InterruptedException {
        String table = "tour.org_dir." + directory;
        section("Create a table with searchable and plain columns");
        String[] columns = {"Sname", "Srole", "-comment"};
        // nobody: read; owner: read, modify, create, destroy; group: read, modify;
        // world: read. The access test never consults the owner's rights.
        int access = 0x010f0301;
        int h = dtl.nisplusAddTable(table, "tour_tbl", access, columns, (byte) ':');
        callNegated("nisplusAddTable(\"" + table + "\", \"tour_tbl\", 0x010f0301, " + Arrays.toString(columns) + ", ':')", h);
        if (h < 0) {
            out.println("  (cannot create: " + dtl.nisplusGetErrorString(-h) + ")");
            return;
        }
        callAccess("nisplusAccess(\"" + table + "\", 1 read)", dtl.nisplusAccess(table, 1));
        callAccess("nisplusAccess(\"" + table + "\", 16 exists)", dtl.nisplusAccess(table, 16));
        callAccess("nisplusAccess(\"" + table + "\", 3 read+modify)", dtl.nisplusAccess(table, 3));
        callAccess("nisplusAccess(\"" + table + "\", 8 destroy, owner only)", dtl.nisplusAccess(table, 8));
        callAccess("nisplusAccess(\"nosuch." + directory + "\", 16 exists)", dtl.nisplusAccess("nosuch." + directory, 16));

        section("Add, modify and delete entries");
        callStatus("nisplusAddEntry(" + h + ", [ada, admin, first])", dtl.nisplusAddEntry(h, new String[] {"ada", "admin", "first"}));
        callStatus("nisplusAddEntry(" + h + ", [bob, user, second])", dtl.nisplusAddEntry(h, new String[] {"bob", "user", "second"}));
        callStatus("nisplusAddEntry(" + h + ", [bob, user, again]) (duplicate)",
                dtl.nisplusAddEntry(h, new String[] {"bob", "user", "again"}));
        showTable(h);
        callStatus("nisplusModifyEntry(" + h + ", \"[name=bob],\", 3, [bob, user, changed])",
                dtl.nisplusModifyEntry(h, "[name=bob],", 3, new String[] {"bob", "user", "changed"}));
        callStatus("nisplusModifyEntry(" + h + ", \"[name=ada],\", -1, [ada, owner, all columns])",
                dtl.nisplusModifyEntry(h, "[name=ada],", -1, new String[] {"ada", "owner", "all columns"}));
        showTable(h);
        callStatus("nisplusDeleteEntry(" + h + ", \"[name=bob],\")", dtl.nisplusDeleteEntry(h, "[name=bob],"));
        showTable(h);

        String passwd = "passwd.org_dir." + directory;
        section("Access rights: the same calls as nobody, then as the owner");
        out.println("  The server checks every call against the caller's rights. This JVM runs as root,");
        out.println("  which the server knows as the host's principal, owner of " + table + ";");
        out.println("  where the host has a secret key (/etc/.rootkey), root's calls carry Secure RPC");
        out.println("  (AUTH_DES) credentials, the only ones a server at security level 2 believes.");
        out.println("  A process of uid 65534 has no credentials in the namespace: it is nobody.");
        asNobody(table, passwd);
        out.println("  as root (this JVM):");
        callStatus("  nisplusDeleteEntry(" + h + ", \"[name=ada],\")", dtl.nisplusDeleteEntry(h, "[name=ada],"));
        dtl.nisplusCloseTable(h);
        int deleted = dtl.nisplusDeleteTable(table);
        callNegated("  nisplusDeleteTable(\"" + table + "\")", deleted);
        int p = dtl.nisplusOpenTable(passwd, "passwd_tbl");
        if (p >= 0) {
            call("  nisplusGetAllEntries(passwd, \"[name=ada],\")", dtl.nisplusGetAllEntries(p, "[name=ada],"));
            dtl.nisplusCloseTable(p);
        }
        out.println("    The access test above said destroy is not granted: it reads only the rights of");
        out.println("    nobody, the group and the world. The server refused nobody's delete and carried");
        out.println("    out the owner's; *NP* stands for a column that the caller may not read.");
        callAccess("nisplusAccess(\"" + table + "\", 16 exists)", dtl.nisplusAccess(table, 16));
    }

    private static final String AS_ANOTHER_CALLER = "--calls-of-another-caller";

    /**
     * Runs anotherCallersCalls in a JVM of uid and gid 65534 (setpriv) and
     * prints what it printed.
     */
    private void asNobody(String table, String passwd) throws IOException, InterruptedException {
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        Result r = run("setpriv", "--reuid=" + NOBODY, "--regid=" + NOGROUP, "--clear-groups", "--", java,
                "-XX:-UsePerfData", "-Dzelt.native.dir=" + System.getProperty("zelt.native.dir"),
                "-cp", System.getProperty("java.class.path"), GuidedTour.class.getName(), AS_ANOTHER_CALLER,
                table, passwd);
        out.println("  as nobody (a JVM started with setpriv --reuid=65534 --regid=65534 --clear-groups):");
        out.print(r.output().indent(2));
        if (r.exitCode() != 0) {
            out.println("    (that JVM exited with " + r.exitCode() + ": can uid 65534 read the build?)");
        }
    }

    /** The calls the owner makes next, as this process's user; see asNobody. */
    private void anotherCallersCalls(String table, String passwd) {
        int h = dtl.nisplusOpenTable(table, "tour_tbl");
        callNegated("nisplusOpenTable(\"" + table + "\", \"tour_tbl\")", h);
        if (h >= 0) {
            callStatus("nisplusDeleteEntry(" + h + ", \"[name=ada],\")", dtl.nisplusDeleteEntry(h, "[name=ada],"));
            dtl.nisplusCloseTable(h);
        }
        callNegated("nisplusDeleteTable(\"" + table + "\")", dtl.nisplusDeleteTable(table));
        int p = dtl.nisplusOpenTable(passwd, "passwd_tbl");
        if (p >= 0) {
            call("nisplusGetAllEntries(passwd, \"[name=ada],\")", dtl.nisplusGetAllEntries(p, "[name=ada],"));
            dtl.nisplusCloseTable(p);
        }
    }

    private void showTable(int h) {
        List<String[]> rows = new ArrayList<>();
        for (String[] r = dtl.nisplusGetFirstEntry(h, ""); r != null; r = dtl.nisplusGetNextEntry(h)) {
            rows.add(r);
        }
        Tables.print(out, List.of("name", "role", "comment"), rows);
    }

    private void filesOnTheHost() throws IOException {
        section("Files: test, create with owner and mode, copy owner and mode, delete");
        Path dir = Files.createTempDirectory("tour");
        Path a = dir.resolve("created-by-tour");
        Path b = dir.resolve("copy-target");
        Files.writeString(b, "x");
        callErrno("fileAccess(\"" + a + "\", 0 exists)", dtl.fileAccess(a.toString(), 0));
        callErrno("fileCreate(\"" + a + "\", 65534, 65534, 0640)", dtl.fileCreate(a.toString(), NOBODY, NOGROUP, 0640));
        out.println("    " + describe(a));
        callErrno("fileAccess(\"" + a + "\", 0 exists)", dtl.fileAccess(a.toString(), 0));
        out.println("    before copy: " + describe(b));
        callErrno("fileCopyStat(\"" + a + "\", \"" + b + "\")", dtl.fileCopyStat(a.toString(), b.toString()));
        out.println("    after copy:  " + describe(b));
        callErrno("fileDelete(\"" + a + "\")", dtl.fileDelete(a.toString()));
        callErrno("fileDelete(\"" + a + "\") again", dtl.fileDelete(a.toString()));
        dtl.fileDelete(b.toString());
        Files.delete(dir);
    }

    private static String describe(Path p) throws IOException {
        var attrs = Files.readAttributes(p, java.nio.file.attribute.PosixFileAttributes.class);
        return PosixFilePermissions.toString(attrs.permissions()) + " " + attrs.owner().getName() + ":"
                + attrs.group().getName() + " " + attrs.size() + " bytes  " + p.getFileName();
    }

    private void addressOrder() {
        section("Order IPv4 addresses and partial network numbers");
        List<String> list = new ArrayList<>(List.of("192.168.1.1", "10", "10.0.0.1", "129.144", "129.144.0.0",
                "172.16.5.4", "10.1", "not-an-address", "9.255.255.255"));
        out.println("  before: " + list);
        list.sort(dtl::addressCompare);
        out.println("  sorted with addressCompare: " + list);
        callOrder("addressCompare(\"10\", \"10.0.0.1\")", dtl.addressCompare("10", "10.0.0.1"));
        callOrder("addressCompare(\"129.144\", \"129.144.0.0\")", dtl.addressCompare("129.144", "129.144.0.0"));
        callOrder("addressCompare(\"192.168.1.1\", \"10.0.0.1\")", dtl.addressCompare("192.168.1.1", "10.0.0.1"));
    }

    private void launchAsAnotherUser() throws IOException, InterruptedException {
        section("Start programs as another user");
        // Root's folder (mode 0711) holds one for nobody (0700): the programs
        // write there, and no other user can put anything in their way.
        Path dir = Files.createTempDirectory("tour-launch");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx--x--x"));
        Path own = Files.createDirectory(dir.resolve("nobody"));
        Files.setPosixFilePermissions(own, PosixFilePermissions.fromString("rwx------"));
        Files.setAttribute(own, "unix:uid", NOBODY, java.nio.file.LinkOption.NOFOLLOW_LINKS);
        Files.setAttribute(own, "unix:gid", NOGROUP, java.nio.file.LinkOption.NOFOLLOW_LINKS);
        Path cmdOut = own.resolve("cmd.txt");
        Path guiOut = own.resolve("gui.txt");
        String script = "{ echo \"id: $(id)\"; echo \"args: $*\"; echo \"GREETING=$GREETING\"; }";
        String[] cmdArgs = {"/bin/sh", "-c", script + " > " + cmdOut, "sh", "one", "two"};
        int r = new CmdLauncher().launchapp(1, NOBODY, NOGROUP, NOBODY, NOGROUP, cmdArgs,
                new String[] {"GREETING=hello", "GREETING=from the command-line launcher"});
        callLaunch("CmdLauncher.launchapp(1, 65534, 65534, 65534, 65534, [/bin/sh, -c, ...], [GREETING=...])", r);
        r = new GuiLauncher().launchapp(1, NOBODY, NOGROUP, NOBODY, NOGROUP, "/bin/sh",
                new String[] {"GREETING=from the graphical launcher"},
                new String[] {"-c", script + " > " + guiOut, "sh", "three"});
        callLaunch("GuiLauncher.launchapp(1, 65534, 65534, 65534, 65534, \"/bin/sh\", [GREETING=...], [-c, ...])", r);
        for (Path p : List.of(cmdOut, guiOut)) {
            for (int i = 0; i < 100 && !(Files.exists(p) && Files.size(p) > 0); i++) {
                Thread.sleep(50);
            }
            out.println("  what the program saw (" + p.getFileName() + "):");
            List<String> lines = writtenByAnotherUser(p);
            if (lines == null) {
                out.println("    (nothing written)");
            }
            for (String line : lines == null ? List.<String>of() : lines) {
                out.println("    " + Tables.escape(line));
            }
        }
        Thread.sleep(100);
        try (var left = Files.list(own)) {
            for (Path p : left.toList()) {
                Files.deleteIfExists(p);
            }
        }
        Files.delete(own);
        Files.delete(dir);
    }

    /**
     * The lines of a file another user wrote (at most 64 KiB of it), or null
     * when there is none: a link is not followed, nor is anything but a
     * plain file read.
     */
    private static List<String> writtenByAnotherUser(Path p) throws IOException {
        if (!Files.isRegularFile(p, java.nio.file.LinkOption.NOFOLLOW_LINKS)) {
            return null;
        }
        try (var in = Files.newInputStream(p, java.nio.file.LinkOption.NOFOLLOW_LINKS)) {
            return new String(in.readNBytes(64 * 1024), StandardCharsets.UTF_8).lines().toList();
        }
    }

    private static final String XMESSAGE = "/usr/bin/xmessage";

    /**
     * An X application started as nobody on the display named by DISPLAY
     * (the sandbox's private Xvfb), its window found, a screenshot saved to
     * the path in the system property zelt.demo.screenshot, then ended.
     */
    private void xApplication() throws IOException, InterruptedException {
        section("A graphical program as nobody on a private X display");
        String display = System.getenv("DISPLAY");
        String xauthority = System.getenv("XAUTHORITY");
        if (display == null || xauthority == null) {
            out.println("  (skipped: no DISPLAY and XAUTHORITY; run inside the sandbox with --xvfb)");
            return;
        }
        String title = "zelt guided tour " + ProcessHandle.current().pid();
        // LC_ALL=C: a UTF-8 locale asks for font sets the server's built-in fonts lack.
        String[] env = {"DISPLAY=" + display, "XAUTHORITY=" + xauthority, "LC_ALL=C"};
        String[] args = {"-title", title, "-center",
            "Started by GuiLauncher as nobody (uid 65534, gid 65534)"};
        int r = new GuiLauncher().launchapp(1, NOBODY, NOGROUP, NOBODY, NOGROUP, XMESSAGE, env, args);
        callLaunch("GuiLauncher.launchapp(1, 65534, 65534, 65534, 65534, \"" + XMESSAGE + "\", "
                + Arrays.toString(env) + ", [-title, " + title + ", -center, ...])", r);
        if (r != 0) {
            return;
        }
        long pid = -1;
        String window = null;
        for (long end = System.nanoTime() + 60_000_000_000L; System.nanoTime() < end && window == null;) {
            if (pid < 0) {
                pid = findProcess(XMESSAGE, title);
            }
            window = windowLine(title);
            if (window == null) {
                Thread.sleep(100);
            }
        }
        if (window == null || pid < 0) {
            out.println("  (no window titled \"" + title + "\" within a minute)");
            if (pid > 0) {
                ProcessHandle.of(pid).ifPresent(ProcessHandle::destroy);
            }
            return;
        }
        out.println("  xwininfo -root -tree shows its window:");
        out.println("    " + window.strip());
        for (String line : Files.readAllLines(Path.of("/proc/" + pid + "/status"))) {
            if (line.startsWith("Uid:") || line.startsWith("Gid:")) {
                out.println("    process " + pid + " " + line.replace('\t', ' ')
                        + "   (real, effective, saved, file system)");
            }
        }
        String shot = System.getProperty("zelt.demo.screenshot");
        if (shot != null) {
            Path png = Path.of(shot).toAbsolutePath();
            Files.createDirectories(png.getParent());
            Result s = run("sh", "-c", "xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > \"$1\"", "sh",
                    png.toString());
            if (s.exitCode() == 0 && Files.size(png) > 0) {
                out.println("  screenshot of the display (xwd -root | xwdtopnm | pnmtopng): " + png);
            } else {
                out.println("  (screenshot failed: " + s.output().strip() + ")");
            }
        }
        ProcessHandle.of(pid).ifPresent(ProcessHandle::destroy);
        boolean gone = false;
        for (int i = 0; i < 100 && !gone; i++) {
            gone = windowLine(title) == null;
            if (!gone) {
                Thread.sleep(100);
            }
        }
        out.println("  sent SIGTERM to process " + pid
                + (gone ? "; its window is gone" : "; its window is still up after 10 s"));
    }

    private record Result(int exitCode, String output) {}

    private static Result run(String... command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(command).redirectErrorStream(true).start();
        p.getOutputStream().close();
        String output = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        return new Result(p.waitFor(), output);
    }

    /** The line of xwininfo -root -tree that shows a window with this title, or null. */
    private static String windowLine(String title) throws IOException, InterruptedException {
        Result r = run("xwininfo", "-root", "-tree");
        for (String line : r.output().split("\n")) {
            if (line.contains("\"" + title + "\"")) {
                return line;
            }
        }
        return null;
    }

    /** The PID of the process running program with this argument, or -1. */
    private static long findProcess(String program, String argument) throws IOException {
        try (var procs = Files.list(Path.of("/proc"))) {
            for (Path p : procs.filter(p -> p.getFileName().toString().matches("\\d+")).toList()) {
                try {
                    String cmdline = Files.readString(p.resolve("cmdline"), StandardCharsets.UTF_8);
                    List<String> argv = Arrays.asList(cmdline.split("\0"));
                    if (!argv.isEmpty() && argv.get(0).equals(program) && argv.contains(argument)) {
                        return Long.parseLong(p.getFileName().toString());
                    }
                } catch (IOException vanished) {
                    // the process ended while the list was read
                }
            }
        }
        return -1;
    }
}

package com.zelt.tests.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** End-to-end runs of the command-line tool in child JVMs against the sandbox's daemons. */
class ZeltToolTest {
    private static final String DIR = System.getenv("NISPLUS_DIRECTORY");

    private static Processes.Result zelt(String... args) {
        return zeltWith(List.of(), args);
    }

    private static Processes.Result zeltWith(List<String> jvmOptions, String... args) {
        var r = Processes.run(Processes.childJvm(jvmOptions, "com.zelt.cli.ZeltTool", args));
        Processes.assertNoJniWarnings(r);
        return r;
    }

    @Test
    void withoutTheLibrariesHelpStillWorksAndCallsFailWithTheReason() {
        List<String> nowhere = List.of("-Dzelt.native.dir=/nonexistent");
        var version = zeltWith(nowhere, "--version");
        assertEquals(0, version.exitCode(), version.stderr());
        assertEquals("zelt 1.0.0\n", version.stdout());
        var call = zeltWith(nowhere, "status", "2");
        assertEquals(1, call.exitCode());
        assertEquals("zelt: cannot load the native libraries: Can't load library: /nonexistent/libnamestore.so\n",
                call.stderr());
    }

    @Test
    void helpAndBadArguments() {
        var help = zelt("--help");
        assertEquals(0, help.exitCode());
        assertTrue(help.stdout().contains("usage: zelt COMMAND"), help.stdout());

        var none = zelt();
        assertEquals(2, none.exitCode());

        var unknown = zelt("frobnicate");
        assertEquals(2, unknown.exitCode());
        assertTrue(unknown.stderr().contains("unknown command 'frobnicate'"), unknown.stderr());

        var missing = zelt("list");
        assertEquals(2, missing.exitCode());
        assertTrue(missing.stderr().contains("usage: zelt list TABLE"), missing.stderr());

        var notANumber = zelt("status", "twelve");
        assertEquals(2, notANumber.exitCode());
        assertTrue(notANumber.stderr().contains("CODE must be a number"), notANumber.stderr());

        var relative = zelt("launch", "0", "0", "0", "0", "true");
        assertEquals(2, relative.exitCode());
        assertTrue(relative.stderr().contains("absolute path"), relative.stderr());
    }

    @Test
    void tableLifecycleThroughTheTool() {
        String table = "clitool.org_dir." + DIR;
        var created = zelt("create-table", table, "cli_tbl", "0x010f0101", ":", "Sname", "-note");
        assertEquals(0, created.exitCode(), created.stderr());

        var again = zelt("create-table", table, "cli_tbl", "0x010f0101", ":", "Sname", "-note");
        assertEquals(1, again.exitCode());
        assertTrue(again.stderr().contains("NIS+ status"), again.stderr());

        assertEquals(0, zelt("add", table, "cli_tbl", "alpha", "first").exitCode());
        assertEquals(0, zelt("add", table, "cli_tbl", "beta", "second").exitCode());
        var dup = zelt("add", table, "cli_tbl", "beta", "dup");
        assertEquals(1, dup.exitCode());

        var list = zelt("list", table);
        assertEquals(0, list.exitCode(), list.stderr());
        assertTrue(list.stdout().contains("alpha") && list.stdout().contains("beta"), list.stdout());
        assertTrue(list.stdout().contains("(2 entries)"), list.stdout());

        assertEquals(0, zelt("modify", table, "cli_tbl", "[name=beta],", "2", "beta", "changed").exitCode());
        var match = zelt("match", table, "[name=beta],");
        assertEquals(0, match.exitCode(), match.stderr());
        assertTrue(match.stdout().contains("changed") && !match.stdout().contains("alpha"), match.stdout());

        assertEquals(0, zelt("access", table, "16").exitCode());
        assertEquals(0, zelt("access", table, "1").exitCode());
        assertEquals(1, zelt("access", table, "8").exitCode());

        assertEquals(0, zelt("delete", table, "cli_tbl", "[name=alpha],").exitCode());
        assertEquals(0, zelt("delete", table, "cli_tbl", "[name=beta],").exitCode());
        assertEquals(1, zelt("match", table, "[name=beta],").exitCode());
        assertEquals(0, zelt("delete-table", table).exitCode());
        assertEquals(1, zelt("access", table, "16").exitCode());

        var gone = zelt("list", table);
        assertEquals(1, gone.exitCode());
        assertTrue(gone.stderr().contains("NIS+ status 23"), gone.stderr());
    }

    @Test
    void statusAndHostCommands() {
        var status = zelt("status", "2");
        assertEquals(0, status.exitCode());
        assertEquals("Not found", status.stdout().strip());

        var cmp = zelt("compare", "10", "10.0.0.1");
        assertEquals("10 < 10.0.0.1", cmp.stdout().strip());

        var domain = zelt("domain");
        assertEquals(System.getenv("SANDBOX_DOMAIN"), domain.stdout().strip());

        var master = zelt("master", System.getenv("SANDBOX_DOMAIN"), "hosts.byname");
        assertEquals(0, master.exitCode());
        assertEquals(System.getenv("SANDBOX_YP_MASTER"), master.stdout().strip());
        assertEquals(1, zelt("master", System.getenv("SANDBOX_DOMAIN"), "no.such.map").exitCode());
    }

    @Test
    void launchesAsAnotherUser() throws Exception {
        // Root's folder (0711) with one of nobody's (0700) for the program to
        // write into; its file is read without following links.
        Path dir = Files.createTempDirectory("zelt-cli");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx--x--x"));
        Path own = Files.createDirectory(dir.resolve("nobody"));
        Files.setPosixFilePermissions(own, PosixFilePermissions.fromString("rwx------"));
        Files.setAttribute(own, "unix:uid", 65534, java.nio.file.LinkOption.NOFOLLOW_LINKS);
        for (boolean gui : new boolean[] {false, true}) {
            Path out = own.resolve(gui ? "gui" : "cmd");
            List<String> args = new ArrayList<>(List.of("launch"));
            if (gui) {
                args.add("--gui");
            }
            args.addAll(List.of("--env", "WHO=tool", "65534", "65534", "65534", "65534",
                    "/bin/sh", "-c", "echo $(id -u) $WHO > " + out));
            var r = zelt(args.toArray(new String[0]));
            assertEquals(0, r.exitCode(), r.stderr());
            assertTrue(r.stdout().startsWith("launching /bin/sh as real uid 65534 (nobody), effective uid "
                    + "65534 (nobody); real gid 65534 (nogroup), effective gid 65534 (nogroup)\n"), r.stdout());
            assertFalse(r.stderr().contains("root"), r.stderr());
            long deadline = System.nanoTime() + 60_000_000_000L;  // a loaded machine
            while (!(Files.exists(out) && Files.size(out) > 0) && System.nanoTime() < deadline) {
                Thread.sleep(25);
            }
            try (var in = Files.newInputStream(out, java.nio.file.LinkOption.NOFOLLOW_LINKS)) {
                assertEquals("65534 tool", new String(in.readAllBytes(), java.nio.charset.StandardCharsets.UTF_8)
                        .strip(), gui ? "gui" : "cmd");
            }
            Files.delete(out);
        }
        Files.delete(own);
        Files.delete(dir);
    }

    /** One run of the tool and what it must give: exit code and a piece of stdout and of stderr. */
    private static Arguments run(int code, String out, String err, String... args) {
        return Arguments.of(String.join(" ", args), code, out, err, args);
    }

    private static final String HOSTS = "hosts.org_dir." + DIR;
    private static final String NOBODY = "65534";

    static Stream<Arguments> exitCodeRule() {
        return Stream.of(
                run(0, "zelt 1.0.0", "", "--version"),
                run(0, "usage: zelt list TABLE [CRITERIA]", "", "list", "--help"),
                run(0, "usage: zelt modify TABLE TYPE CRITERIA COLUMN VALUE...", "", "help", "modify"),
                run(0, "does not prove that the program started", "", "launch", "--help"),
                run(0, "S = searchable", "", "create-table", "--help"),
                run(0, "    (0 entries)", "", "list", "empty.org_dir." + DIR),
                run(0, "granted: exists", "", "access", HOSTS, "16"),
                run(0, "accessible", "", "file-access", "/", "0"),
                run(1, "", "NIS+ status 23 (", "list", "nosuch.org_dir." + DIR),
                run(1, "", "is not a table: it holds 4 objects that are not entries", "list", "groups_dir." + DIR),
                run(1, "", "no entry of " + HOSTS + " matches", "match", HOSTS, "[name=nosuch],"),
                run(0, "    (1 entry)", "", "match", HOSTS, "[name=alpha,],"),
                run(1, "", "no entry of " + HOSTS + " matches", "match", HOSTS, "[name=a=b],"),
                run(1, "", "no entry of " + HOSTS + " matches", "modify", HOSTS, "hosts_tbl",
                        "[name=nosuch],", "2", "x"),
                run(1, "", "delete failed: NIS+ status", "delete", HOSTS, "hosts_tbl", "[name=nosuch],"),
                run(1, "", "add failed: NIS+ status", "add", HOSTS, "hosts_tbl", "too", "few"),
                run(1, "", "deleting nosuch.org_dir." + DIR + " failed: NIS+ status", "delete-table",
                        "nosuch.org_dir." + DIR),
                run(1, "", "failed: NIS+ status", "create-table", "t.nodir." + DIR, "t_tbl", "0", ":", "Sk"),
                run(1, "", "no such object", "access", "nosuch.org_dir." + DIR, "1"),
                run(1, "", "errno 2 (No such file or directory)", "file-access", "/no/such", "0"),
                run(1, "", "errno 2 (No such file or directory)", "file-delete", "/no/such"),
                run(1, "", "errno 2 (No such file or directory)", "file-copy-stat", "/no/such", "/tmp"),
                run(1, "", "errno 2 (No such file or directory)", "file-create", "/no/such/f", "0", "0", "0644"),
                run(1, "launching /no/such/program as real uid 65534 (nobody), effective uid 65534 (nobody)",
                        "cannot launch /no/such/program: No such file or directory",
                        "launch", NOBODY, NOBODY, NOBODY, NOBODY, "/no/such/program"),
                run(1, "", "cannot launch /etc/passwd: not executable by uid 65534 gid 65534 (mode 0644",
                        "launch", NOBODY, NOBODY, NOBODY, NOBODY, "/etc/passwd"),
                run(1, "", "cannot launch /tmp: Is a directory", "launch", NOBODY, NOBODY, NOBODY, NOBODY, "/tmp"),
                run(0, "as real uid 0 (root), effective uid 0 (root)", "warning: /bin/true will run as root",
                        "launch", "-1", "-1", "-1", "-1", "/bin/true"),
                // Options end at the first operand and at --: the rest goes to the program.
                run(0, "\n-h x\n", "warning: /bin/echo will run as root",
                        "launch", "-1", "-1", "-1", "-1", "/bin/echo", "-h", "x"),
                run(0, "\nx --help\n", "warning: /bin/echo will run as root",
                        "launch", "--", "-1", "-1", "-1", "-1", "/bin/echo", "x", "--help"));
    }

    /** 0 done, 1 the call failed (with its reason), for each command; help and version are successes. */
    @ParameterizedTest(name = "zelt {0}")
    @MethodSource
    void exitCodeRule(String shown, int code, String out, String err, String[] args) {
        var r = zelt(args);
        assertEquals(code, r.exitCode(), r.stdout() + r.stderr());
        assertTrue(r.stdout().contains(out), r.stdout());
        assertTrue(r.stderr().contains(err), r.stderr());
        if (err.isEmpty()) {
            assertEquals("", r.stderr());
        }
        assertFalse(r.stderr().contains("Try 'zelt"), "a failed call is not bad usage: " + r.stderr());
        Matcher status = Pattern.compile("NIS\\+ status \\d+ \\((.*)\\)").matcher(r.stderr());
        if (status.find()) {
            assertNotEquals("no text", status.group(1), "every status comes with its text");
        }
    }

    private static Arguments usage(String message, String... args) {
        return Arguments.of(String.join(" ", args), message, args);
    }

    static Stream<Arguments> usageErrors() {
        String t = "cliusage.org_dir." + DIR;
        return Stream.of(
                usage("CODE must be a NIS+ status, 0 or more, not -5", "status", "-5"),
                usage("A must be an IPv4 address or network number", "compare", "abc", "10"),
                usage("MODE must add up 1 read", "access", HOSTS, "99"),
                usage("must start with '['", "match", HOSTS, "name=alpha"),
                usage("has no closing ']'", "match", HOSTS, "[name=alpha"),
                usage("has 'x' after its ']'", "list", HOSTS, "[name=alpha]x"),
                usage("'alpha' is not COLUMN=VALUE", "delete", HOSTS, "hosts_tbl", "[alpha],"),
                usage("CRITERIA must not be empty", "match", HOSTS, ""),
                usage("COLUMN must be 1 or more", "modify", HOSTS, "hosts_tbl", "[name=alpha],", "0", "x"),
                usage("COLUMN 'key' has no marker", "create-table", t, "t_tbl", "0", ":", "key"),
                usage("COLUMN 'S' is a marker without a column name", "create-table", t, "t_tbl", "0", ":", "S"),
                usage("a table needs at least one COLUMN", "create-table", t, "t_tbl", "0", ":"),
                usage("SEP must be one character", "create-table", t, "t_tbl", "0", "::", "Skey"),
                usage("MODE must be an octal permission mode", "file-create", "/tmp/x", "0", "0", "999"),
                usage("MODE must be 0 to 7", "file-access", "/tmp", "9"),
                usage("bad option '--bogus'", "launch", "--bogus", "0", "0", "0", "0", "/bin/true"),
                usage("EUID must be a user or group id", "launch", "-2", "0", "0", "0", "/bin/true"),
                usage("--env needs NAME=VALUE, not 'X'", "launch", "--env", "X", "0", "0", "0", "0", "/bin/true"),
                usage("bad option '-x'", "list", "-x", HOSTS),
                // Numbers too wide for their argument are refused, never cut to 32 bits.
                usage("CODE must be -2147483648 to 2147483647, not 0x100000002", "status", "0x100000002"),
                usage("ACCESS must be 0 to 4294967295, not 0x100000001", "create-table", t, "t_tbl",
                        "0x100000001", ":", "Skey"),
                usage("usage: zelt domain", "domain", "extra"),
                usage("usage: zelt add TABLE TYPE VALUE...", "add", HOSTS, "hosts_tbl"),
                usage("usage: zelt delete-table TABLE", "delete-table"),
                usage("usage: zelt master DOMAIN MAP", "master", "sandbox.test"),
                usage("usage: zelt file-copy-stat FROM TO", "file-copy-stat", "/etc/passwd"),
                usage("unknown command 'nosuch'", "help", "nosuch"));
    }

    /** Bad usage exits 2 with what is wrong and where to look, before any call is made. */
    @ParameterizedTest(name = "zelt {0}")
    @MethodSource
    void usageErrors(String shown, String message, String[] args) {
        var r = zelt(args);
        assertEquals(2, r.exitCode(), r.stdout() + r.stderr());
        assertEquals("", r.stdout());
        List<String> lines = r.stderr().lines().toList();
        assertTrue(lines.get(0).startsWith("zelt: ") && lines.get(0).contains(message), r.stderr());
        String where = args[0].equals("help") ? "" : args[0] + " ";
        assertEquals("Try 'zelt " + where + "--help'.", lines.get(lines.size() - 1));
    }

    private static List<String> lines(Processes.Result r) {
        assertEquals(0, r.exitCode(), r.stderr());
        return r.stdout().lines().toList();
    }

    @Test
    void columnsAlignByDisplayWidthAndControlsComeOutEscaped() {
        String table = "cliwidth.org_dir." + DIR;
        assertEquals(0, zelt("create-table", table, "w_tbl", "0x010f0101", ":", "Sname", "-note").exitCode());
        String[][] rows = {{"漢字", "cjk"}, {"e\u0301", "mark"}, {"😀x", "emoji"}, {"abcd", "ascii"},
            {"esc", "\u001b[31mred"}, {"nl", "two\nlines\tx"}};
        for (String[] row : rows) {
            var added = zelt("add", table, "w_tbl", row[0], row[1]);
            assertEquals(0, added.exitCode(), added.stderr());
        }
        List<String> out = lines(zelt("list", table));
        assertEquals(List.of("    1     2", "    ----  -------------"), out.subList(0, 2));
        assertEquals(Set.of("    漢字  cjk", "    e\u0301     mark", "    😀x   emoji", "    abcd  ascii",
                "    esc   \\x1b[31mred", "    nl    two\\nlines\\tx"), Set.copyOf(out.subList(2, 8)));
        assertEquals(List.of("    (6 entries)"), out.subList(8, out.size()));

        // get-all: one flat array of 3 x 4 values, cut into rows by the tool.
        assertEquals(List.of("    1     2         3         4", "    ----  --------  --------  ----",
                "    beta  beta      10.1.0.2  mail", "    beta  mailhost  10.1.0.2  mail",
                "    beta  mail      10.1.0.2  mail", "    (3 entries)"),
                lines(zelt("match", HOSTS, "[cname=beta],")));
    }

    /** The values of the one entry the criteria selects, from the tool's listing. */
    private static List<String> entry(String table, String criteria) {
        List<String> out = lines(zelt("match", table, criteria));
        assertEquals("    (1 entry)", out.get(out.size() - 1), String.join("\n", out));
        return List.of(out.get(2).strip().split("\\s+"));
    }

    @Test
    void modifyOneColumnOrTheWholeEntry() {
        String table = "climodify.org_dir." + DIR;
        String k1 = "[key=k1],";
        assertEquals(0, zelt("create-table", table, "m_tbl", "0x010f0101", ":", "Skey", "-a", "Sgrp").exitCode());
        assertEquals(0, zelt("add", table, "m_tbl", "k1", "a1", "g").exitCode());
        assertEquals(0, zelt("add", table, "m_tbl", "k2", "a2", "g").exitCode());

        var one = zelt("modify", table, "m_tbl", k1, "2", "NEW");
        assertEquals(0, one.exitCode(), one.stderr());
        assertTrue(one.stdout().startsWith("modified column 2 of the entry"), one.stdout());
        assertEquals(List.of("k1", "NEW", "g"), entry(table, k1));

        assertEquals(0, zelt("modify", table, "m_tbl", k1, "-1", "k1", "P", "h").exitCode());
        assertEquals(List.of("k1", "P", "h"), entry(table, k1));
        // A whole row with a column: only that column is marked as changed.
        assertEquals(0, zelt("modify", table, "m_tbl", k1, "3", "k1", "ignored", "g").exitCode());
        assertEquals(List.of("k1", "P", "g"), entry(table, k1));

        var several = zelt("modify", table, "m_tbl", "[grp=g],", "2", "x");
        assertEquals(1, several.exitCode());
        assertTrue(several.stderr().contains("selects 2 entries"), several.stderr());
        var count = zelt("modify", table, "m_tbl", k1, "2", "a", "b");
        assertEquals(2, count.exitCode());
        assertTrue(count.stderr().contains("3 columns but 2 values"), count.stderr());
        var past = zelt("modify", table, "m_tbl", k1, "4", "x");
        assertEquals(2, past.exitCode());
        assertTrue(past.stderr().contains("past the last column"), past.stderr());
        assertEquals(List.of("k2", "a2", "g"), entry(table, "[key=k2],"));
    }

    @Test
    void createTableRefusesColumnsWithoutMarkerUnlessForced() {
        String table = "climarker.org_dir." + DIR;
        var refused = zelt("create-table", table, "k_tbl", "0x01010101", ":", "Skey", "value");
        assertEquals(2, refused.exitCode());
        assertTrue(refused.stderr().contains("would create column 'alue'"), refused.stderr());
        assertEquals(1, zelt("access", table, "16").exitCode(), "nothing was created");

        assertEquals(0, zelt("create-table", "--force", table, "k_tbl", "0x01010101", ":", "Skey", "value")
                .exitCode());
        Path ctl = Paths.get(System.getenv("NISPLUSD")).resolveSibling("nisplusctl");
        var dump = Processes.run(ctl.toString(), "dump", table);
        assertEquals(0, dump.exitCode(), dump.stderr());
        assertTrue(dump.stdout().contains("column key flags=0x8") && dump.stdout().contains("column alue "),
                dump.stdout());

        String bare = "clinocols.org_dir." + DIR;
        assertEquals(0, zelt("create-table", "--force", bare, "n_tbl", "0x01010101", ":").exitCode());
        assertEquals(List.of("    (0 entries)"), lines(zelt("list", bare)));
    }

    @Test
    void fileCommands() throws Exception {
        Path dir = Files.createTempDirectory("zelt-files");
        Path f = dir.resolve("f");
        assertEquals(0, zelt("file-create", f.toString(), NOBODY, NOBODY, "0640").exitCode());
        assertEquals("rw-r-----", PosixFilePermissions.toString(Files.getPosixFilePermissions(f)));
        assertEquals(65534, Files.getAttribute(f, "unix:uid"));
        assertEquals("accessible", zelt("file-access", f.toString(), "4").stdout().strip());
        assertEquals(0, zelt("file-copy-stat", "/etc/passwd", f.toString()).exitCode());
        assertEquals(0, Files.getAttribute(f, "unix:uid"));
        assertEquals("rw-r--r--", PosixFilePermissions.toString(Files.getPosixFilePermissions(f)));
        assertEquals(0, zelt("file-delete", f.toString()).exitCode());
        assertFalse(Files.exists(f));
        Files.delete(dir);
    }
}

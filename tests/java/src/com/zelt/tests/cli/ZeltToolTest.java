package com.zelt.tests.cli;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** End-to-end runs of the command-line tool in child JVMs against the sandbox's daemons. */
class ZeltToolTest {
    private static final String DIR = System.getenv("NISPLUS_DIRECTORY");

    private static Processes.Result zelt(String... args) {
        var r = Processes.run(Processes.childJvm(List.of(), "com.zelt.cli.ZeltTool", args));
        Processes.assertNoJniWarnings(r);
        return r;
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
        var created = zelt("create-table", table, "cli_tbl", "0x01010101", ":", "Sname", "-note");
        assertEquals(0, created.exitCode(), created.stderr());

        var again = zelt("create-table", table, "cli_tbl", "0x01010101", ":", "Sname", "-note");
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
        Path dir = Files.createTempDirectory("zelt-cli");
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxrwxrwx"));
        for (boolean gui : new boolean[] {false, true}) {
            Path out = dir.resolve(gui ? "gui" : "cmd");
            List<String> args = new ArrayList<>(List.of("launch"));
            if (gui) {
                args.add("--gui");
            }
            args.addAll(List.of("--env", "WHO=tool", "65534", "65534", "65534", "65534",
                    "/bin/sh", "-c", "echo $(id -u) $WHO > " + out));
            var r = zelt(args.toArray(new String[0]));
            assertEquals(0, r.exitCode(), r.stderr());
            long deadline = System.nanoTime() + 60_000_000_000L;  // a loaded machine
            while (!(Files.exists(out) && Files.size(out) > 0) && System.nanoTime() < deadline) {
                Thread.sleep(25);
            }
            assertEquals("65534 tool", Files.readString(out).strip(), gui ? "gui" : "cmd");
            Files.delete(out);
        }
        Files.delete(dir);
    }
}

package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.NisplusServer;
import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

/**
 * The bridge as callers with and without rights, end to end: RightsProbe
 * makes the same calls in a JVM of its own as root, as root with its
 * secret key moved away, as ada (uid 1001, a principal through her LOCAL
 * credential) and as nobody (uid 65534, none), at each security level of
 * nisplusd, and every result is held against the table below. Afterwards
 * the namespace must hold exactly what the granted calls changed. Where
 * the sandbox gave root a secret key (/etc/.rootkey, a private overlay),
 * root talks AUTH_DES and is the host at level 2 as well.
 */
class CallerRightsTest {
    private static final String ROOT = NisplusServer.principal(0);
    private static final String DIR = "rights." + NisplusServer.directory();

    // Results by what the server grants: everything (level 0; root, the
    // owner, at level 1, and at level 2 with its key), ada's rights at
    // level 1, nobody's (at level 1; at level 2 every caller but root with
    // its key, since level 2 believes no AUTH_SYS caller).
    private static final String[][] CASES = {
        // operation                  everything    ada at level 1    nobody
        {"open closed",               "0",          "-10",            "-10"},
        {"get-all",                   "ada,s-ada,sh;root,s-root,sh", "ada,s-ada,sh;root,*NP*,sh", "ada,*NP*,sh;root,*NP*,sh"},
        {"get-first/next",            "ada,s-ada,sh;root,s-root,sh", "ada,s-ada,sh;root,*NP*,sh", "ada,*NP*,sh;root,*NP*,sh"},
        {"get-all by secret",         "root,s-root,sh", "null",       "null"},
        {"get-all by name",           "root,s-root,sh", "root,*NP*,sh", "root,*NP*,sh"},
        {"get-all vault",             "k,v",        "null",           "null"},
        {"get-first/next vault",      "k,v",        "null",           "null"},
        {"modify root's shell",       "0",          "10",             "10"},
        {"modify ada's shell",        "0",          "0",              "10"},
        {"modify ada's secret",       "0",          "10",             "10"},
        {"add",                       "0",          "10",             "10"},
        {"delete root",               "0",          "10",             "10"},
        {"add-table",                 "0",          "-10",            "-10"},
        {"delete-table",              "0",          "-10",            "-10"},
        // The access test reads the access word whoever asks; an object the
        // caller may not look up is -1 like a missing one.
        {"access people read",        "0",          "0",              "0"},
        {"access people destroy",     "-1",         "-1",             "-1"},
        {"access closed exists",      "0",          "-1",             "-1"},
    };
    private static final int EVERYTHING = 1;
    private static final int ADA = 2;
    private static final int NOBODY = 3;

    /** people's rows afterwards, by what the server granted. */
    private static final Map<Integer, String> PEOPLE_AFTER = Map.of(
            EVERYTHING, "ada,new,zsh;new,s-new,sh",
            ADA, "ada,s-ada,zsh;root,s-root,sh",
            NOBODY, "ada,s-ada,sh;root,s-root,sh");

    private static final Path KEY = Path.of("/etc/.rootkey");
    private static final Path KEY_AWAY = Path.of("/etc/.rootkey.away");
    private static final boolean HOST_KEY = Files.exists(KEY);

    private record Caller(String name, int uid, int gid, boolean withoutKey) {}

    private static final List<Caller> CALLERS = List.of(new Caller("root", 0, 0, false),
            new Caller("rootnokey", 0, 0, true), new Caller("ada", 1001, 101, false),
            new Caller("nobody", 65534, 65534, false));

    /** The fixture, loaded again before each caller's run. */
    private static String fixture() {
        String owned = " owner=\"" + ROOT + "\" group=\"admin." + NisplusServer.directory() + "\"";
        return "directory " + DIR + owned + " access=0x010f0f01 ttl=3600\n"
                + "directory closed." + DIR + owned + " access=0x000f0f00 ttl=3600\n"
                + "table hidden.closed." + DIR + " type=\"h_tbl\" access=0x000f0f00\ncolumn k flags=8\n"
                // The group may only read, and the owner's rights are no
                // concern of the access test: it says destroy is not granted.
                + "table people." + DIR + " type=\"people_tbl\"" + owned + " access=0x000f0100\n"
                + "column name flags=8 rights=0x01010101\n"
                + "column secret flags=8 rights=0x00010000\n"
                + "column shell rights=0x01030101\n"
                + "entry people." + DIR + " owner=\"ada." + NisplusServer.directory() + "\" access=0x00010000"
                + " \"ada\\0\" \"s-ada\\0\" \"sh\\0\"\n"
                + "entry people." + DIR + " access=0x00010000 \"root\\0\" \"s-root\\0\" \"sh\\0\"\n"
                + "table vault." + DIR + " type=\"vault_tbl\"" + owned + " access=0x000f0000\n"
                + "column k flags=8 rights=0x00010000\ncolumn v rights=0x00010000\n"
                + "entry vault." + DIR + " \"k\\0\" \"v\\0\"\n"
                + "table doomed." + DIR + " type=\"d_tbl\" access=0x010f0f01\ncolumn k flags=8\n";
    }

    private static Map<String, String> probe(Caller c, String made) {
        List<String> cmd = new ArrayList<>();
        if (c.uid() != 0) {
            cmd.addAll(List.of("setpriv", "--reuid=" + c.uid(), "--regid=" + c.gid(), "--clear-groups", "--"));
        }
        cmd.addAll(Processes.childJvmAsAnotherUser(List.of("-XX:-UsePerfData"), RightsProbe.class.getName(),
                DIR, made));
        Processes.Result r;
        try {
            if (c.withoutKey() && HOST_KEY) {
                Files.move(KEY, KEY_AWAY);
            }
            r = Processes.run(cmd, Map.of(), Processes.otherUsersBuild());
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } finally {
            if (c.withoutKey() && HOST_KEY) {
                try {
                    Files.move(KEY_AWAY, KEY);
                } catch (IOException e) {
                    throw new UncheckedIOException(e);
                }
            }
        }
        Processes.assertNoJniWarnings(r);
        assertEquals(0, r.exitCode(), r.stdout() + r.stderr());
        Map<String, String> results = new LinkedHashMap<>();
        r.stdout().lines().map(l -> l.split("=", 2)).forEach(kv -> results.put(kv[0], kv[kv.length - 1]));
        return results;
    }

    private static String rows(List<NisplusServer.Entry> entries) {
        return String.join(";", entries.stream().map(e -> String.join(",", e.texts())).toList());
    }

    @Test
    void everyCallerGetsWhatItsRightsGrantAtEveryLevel() {
        int startLevel = NisplusServer.security();
        List<String> mismatches = new ArrayList<>();
        StringBuilder table = new StringBuilder("level  caller  operation  ->  result\n");
        try {
            for (int level = 0; level <= 2; level++) {
                NisplusServer.security(level);
                for (Caller c : CALLERS) {
                    boolean des = c.uid() == 0 && HOST_KEY && !c.withoutKey();
                    int view = level == 0 ? EVERYTHING : level == 2 ? (des ? EVERYTHING : NOBODY)
                            : c.uid() == 0 ? EVERYTHING : c.uid() == 1001 ? ADA : NOBODY;
                    NisplusServer.load(fixture());
                    String made = "made" + level + c.name();
                    Map<String, String> got = probe(c, made);
                    for (String[] row : CASES) {
                        String result = got.get(row[0]);
                        table.append(String.format("%d      %-7s %-22s ->  %s%n", level, c.name(), row[0], result));
                        if (!row[view].equals(result)) {
                            mismatches.add("level " + level + ", " + c.name() + ", " + row[0] + ": expected "
                                    + row[view] + ", got " + result);
                        }
                    }
                    // What the victim still holds: only granted calls changed anything.
                    String where = "level " + level + ", " + c.name() + ": ";
                    assertEquals(PEOPLE_AFTER.get(view), rows(NisplusServer.entries("people." + DIR)), where + "people");
                    assertEquals(view != EVERYTHING, NisplusServer.exists("doomed." + DIR), where + "doomed");
                    assertEquals(view == EVERYTHING, NisplusServer.exists(made + "." + DIR), where + "made");
                }
            }
        } finally {
            NisplusServer.security(startLevel);
        }
        System.out.print(table);
        assertTrue(mismatches.isEmpty(), String.join("\n", mismatches));
    }
}

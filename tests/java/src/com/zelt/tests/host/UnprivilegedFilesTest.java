package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.EACCES;
import static com.zelt.tests.host.HostFiles.EPERM;
import static com.zelt.tests.host.HostFiles.NOBODY;
import static com.zelt.tests.host.HostFiles.gid;
import static com.zelt.tests.host.HostFiles.mode;
import static com.zelt.tests.host.HostFiles.uid;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;

import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The file calls in a JVM running as nobody (uid and gid 65534), where
 * permission checks apply: the errno of the first failing call decides, and
 * the steps after it are skipped.
 */
class UnprivilegedFilesTest {
    @TempDir Path dir;
    private Path closed;
    private Path open;

    @BeforeEach
    void layOut() throws IOException {
        HostFiles.setMode(dir, 0755);
        closed = Files.createDirectory(dir.resolve("closed"));
        HostFiles.setMode(closed, 0755);
        open = Files.createDirectory(dir.resolve("open"));
        HostFiles.setMode(open, 0777);
    }

    private Map<String, Integer> runAsNobody(String... calls) {
        List<String> cmd = new ArrayList<>(List.of("setpriv", "--reuid=" + NOBODY,
                "--regid=" + NOBODY, "--clear-groups", "--"));
        cmd.addAll(Processes.childJvmAsAnotherUser(List.of("-XX:-UsePerfData"),
                UnprivilegedChild.class.getName(), calls));
        Processes.Result r = Processes.run(cmd, Map.of(), Processes.otherUsersBuild());
        Processes.assertNoJniWarnings(r);
        assertEquals(0, r.exitCode(), r.stdout() + r.stderr());
        Map<String, Integer> results = new HashMap<>();
        for (String line : r.stdout().split("\n")) {
            int eq = line.lastIndexOf('=');
            if (eq > 0) results.put(line.substring(0, eq), Integer.parseInt(line.substring(eq + 1)));
        }
        assertEquals(calls.length, results.size(), r.stdout());
        return results;
    }

    @Test
    void createInAnUnwritableDirectoryFailsBeforeChown() {
        String call = "create:" + closed.resolve("new") + ":65534:65534:644";
        assertEquals(EACCES, runAsNobody(call).get(call));
        assertFalse(Files.exists(closed.resolve("new")));
    }

    @Test
    void createThenChownToAnotherUserReportsTheChownFailure() {
        Path p = open.resolve("mine");
        String call = "create:" + p + ":0:0:604";
        assertEquals(EPERM, runAsNobody(call).get(call));
        // The file exists, owned by its creator, with exactly the requested bits.
        assertEquals(NOBODY, uid(p));
        assertEquals(0604, mode(p));
    }

    @Test
    void createOwnFileToOwnIdsSucceeds() {
        Path p = open.resolve("own");
        String call = "create:" + p + ":65534:-1:640";
        assertEquals(0, runAsNobody(call).get(call));
        assertEquals(NOBODY, uid(p));
        assertEquals(NOBODY, gid(p));
        assertEquals(0640, mode(p));
    }

    @Test
    void existingFileWithoutWritePermissionIsNotTruncated() throws IOException {
        Path p = HostFiles.file(open.resolve("ro"), "data", 0444, NOBODY, NOBODY);
        String call = "create:" + p + ":65534:65534:666";
        assertEquals(EACCES, runAsNobody(call).get(call));
        assertEquals("data", Files.readString(p));
    }

    @Test
    void accessAndDeleteReportPermissionErrors() throws IOException {
        Path secret = HostFiles.file(closed.resolve("secret"), "s", 0600, 0, 0);
        String read = "access:" + secret + ":4";
        String write = "access:" + closed + ":2";
        String search = "access:" + closed + ":1";
        String delete = "delete:" + secret;
        Map<String, Integer> r = runAsNobody(read, write, search, delete);
        assertEquals(EACCES, r.get(read));
        assertEquals(EACCES, r.get(write));
        assertEquals(0, r.get(search));
        assertEquals(EACCES, r.get(delete));
        assertEquals("s", Files.readString(secret));
    }

    @Test
    void copyStatStopsAtTheFailingChown() throws IOException {
        Path from = HostFiles.file(open.resolve("from"), "", 0640, NOBODY, NOBODY);
        Path rootsFile = HostFiles.file(open.resolve("roots"), "", 0600, 0, 0);
        Path ownFile = HostFiles.file(open.resolve("own"), "", 0600, NOBODY, NOBODY);
        String toRoots = "copystat:" + from + ":" + rootsFile;
        String toOwn = "copystat:" + from + ":" + ownFile;
        Map<String, Integer> r = runAsNobody(toRoots, toOwn);
        assertEquals(EPERM, r.get(toRoots));
        assertEquals(0600, mode(rootsFile));
        assertEquals(0, uid(rootsFile));
        assertEquals(0, r.get(toOwn));
        assertEquals(0640, mode(ownFile));
    }
}

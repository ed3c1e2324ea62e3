package com.zelt.tests.faults;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.zelt.tests.support.NisplusServer;
import com.zelt.tests.support.Processes;
import java.io.File;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

/**
 * The sandbox's nisplusd as a process the fault tests may kill and start
 * again: the namespace is saved to a seed file first, and the new server
 * takes it, the same domain, control socket, cold-start file and Diffie-Hellman
 * key (clients have the public key in their cached directories). It registers
 * with rpcbind anew, on ports of its own.
 */
final class ServerProcess {
    private ServerProcess() {}

    private static long pid = -1;
    private static Process restarted;

    /** The process ID of the server running now. */
    static synchronized long pid() {
        return pid > 0 ? pid : NisplusServer.pid();
    }

    /** The whole namespace as seed text, for a restart. */
    static Path save() {
        try {
            Path f = Files.createTempFile("nisplusd-saved-", ".nis");
            Files.writeString(f, NisplusServer.dump(), StandardCharsets.UTF_8);
            return f;
        } catch (IOException e) {
            throw new AssertionError("cannot save the namespace", e);
        }
    }

    static void signal(String sig) {
        Processes.Result r = Processes.run("kill", sig, Long.toString(pid()));
        assertEquals(0, r.exitCode(), "kill " + sig + ": " + r.stderr());
    }

    /** Kills the server outright (SIGKILL): no unregistering, no goodbye. */
    static synchronized void kill() {
        long victim = pid();
        signal("-KILL");
        if (restarted != null) {
            try {
                restarted.waitFor();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            restarted = null;
        } else {
            // The sandbox's shell reaps it; wait until it is gone.
            Path proc = Path.of("/proc", Long.toString(victim), "status");
            for (int i = 0; i < 6000; i++) {  // up to a minute
                try {
                    if (!Files.exists(proc) || Files.readString(proc).contains("State:\tZ")) {
                        break;
                    }
                    Thread.sleep(10);
                } catch (IOException e) {
                    break;
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    break;
                }
            }
        }
        pid = 0;
    }

    /** Starts a new server from a saved namespace and waits until it is ready. */
    static synchronized void start(Path seed) {
        String binary = System.getenv("NISPLUSD");
        if (binary == null) {
            binary = Processes.buildDir().resolve("bin/nisplusd").toString();
        }
        Path ready = Path.of("/run/nisplusd.restart.ready");
        try {
            Files.deleteIfExists(ready);
            ProcessBuilder pb = new ProcessBuilder(List.of(binary, "--domain", NisplusServer.directory(),
                    "--seed", seed.toString(), "--control", "/run/nisplusd.ctl", "--ready-file",
                    ready.toString(), "--key-file", "/run/nisplusd.key"));
            // Never the JVM's own output: the server outlives this JVM by a
            // moment and would keep the harness's pipe open.
            pb.redirectErrorStream(true);
            pb.redirectOutput(ProcessBuilder.Redirect.appendTo(new File("/run/nisplusd.restart.log")));
            restarted = pb.start();
            pid = restarted.pid();
            for (int i = 0; i < 6000 && !Files.exists(ready); i++) {  // up to a minute
                if (!restarted.isAlive()) {
                    throw new AssertionError("nisplusd did not start: exit " + restarted.exitValue());
                }
                Thread.sleep(10);
            }
            if (!Files.exists(ready)) {
                throw new AssertionError("nisplusd not ready after a minute");
            }
        } catch (IOException e) {
            throw new AssertionError("cannot start nisplusd", e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError(e);
        }
    }
}

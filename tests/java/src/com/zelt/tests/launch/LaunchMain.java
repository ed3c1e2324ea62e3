package com.zelt.tests.launch;

import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A caller of the launchers in its own JVM, so that a test controls that
 * JVM's descriptors, output files, limits and identities. Runs the launches
 * given as operations and writes one result line per operation to RESULTS:
 *
 * <pre>
 *   cmd FLAG EU EG RU RG NARGS ARG... NENV ENV...        CmdLauncher.launchapp
 *   gui FLAG EU EG RU RG PATH NENV ENV... NARGS ARG...   GuiLauncher.launchapp
 *   cmdmany N          CmdLauncher with N copies of /bin/true as arguments
 *   guimany N          GuiLauncher: /bin/true with N arguments
 *   fdflags FD         the open flags of descriptor FD, from /proc/self/fdinfo
 *   await FILE         writes this JVM's process ID to FILE.ready, then waits
 *                      (at most a minute) until FILE exists
 *   big N              makes a string of N characters for "&lt;big&gt;" below
 *   environ-owner      the owner of /proc/self/environ: this JVM's user while
 *                      its memory is dumpable, root otherwise
 * </pre>
 *
 * A count of -1 passes a null array; "&lt;null&gt;" passes a null string; "&lt;NUL&gt;"
 * inside a string stands for U+0000; "&lt;big&gt;" passes the string made by big. It prints nothing itself, so that its
 * standard output and error carry only what the launched children write.
 */
public final class LaunchMain {
    private LaunchMain() {}

    private static int pos;
    private static String[] argv;
    private static String big;

    private static String next() {
        return argv[pos++];
    }

    private static int nextInt() {
        return Integer.parseInt(next());
    }

    private static String string() {
        String s = next();
        if (s.contains("<big>")) return s.replace("<big>", big);
        return s.equals("<null>") ? null : s.replace("<NUL>", "\u0000");
    }

    private static String[] array() {
        int n = nextInt();
        if (n < 0) return null;
        String[] a = new String[n];
        for (int i = 0; i < n; i++) a[i] = string();
        return a;
    }

    public static void main(String[] args) throws IOException {
        argv = args;
        Path results = Path.of(next());
        List<String> out = new ArrayList<>();
        CmdLauncher cmd = new CmdLauncher();
        GuiLauncher gui = new GuiLauncher();
        while (pos < argv.length) {
            String op = next();
            switch (op) {
                case "cmd" -> {
                    int flag = nextInt(), eu = nextInt(), eg = nextInt(), ru = nextInt(), rg = nextInt();
                    String[] a = array();
                    String[] e = array();
                    out.add("cmd " + cmd.launchapp(flag, eu, eg, ru, rg, a, e));
                }
                case "gui" -> {
                    int flag = nextInt(), eu = nextInt(), eg = nextInt(), ru = nextInt(), rg = nextInt();
                    String path = string();
                    String[] e = array();
                    String[] a = array();
                    out.add("gui " + gui.launchapp(flag, eu, eg, ru, rg, path, e, a));
                }
                case "cmdmany" -> {
                    String[] a = new String[nextInt()];
                    Arrays.fill(a, "/bin/true");
                    out.add("cmdmany " + cmd.launchapp(1, 0, 0, 0, 0, a, null));
                }
                case "guimany" -> {
                    String[] a = new String[nextInt()];
                    Arrays.fill(a, "x");
                    out.add("guimany " + gui.launchapp(1, 0, 0, 0, 0, "/bin/true", null, a));
                }
                case "fdflags" -> {
                    String fd = next();
                    String flags = Files.readAllLines(Path.of("/proc/self/fdinfo", fd)).stream()
                            .filter(l -> l.startsWith("flags:")).findFirst().orElse("flags: ?")
                            .substring(6).trim();
                    out.add("fdflags " + fd + " " + flags);
                }
                case "await" -> {
                    Path go = Path.of(next());
                    // Written under another name and renamed: it appears complete.
                    Path tmp = Path.of(go + ".tmp");
                    Files.writeString(tmp, Long.toString(ProcessHandle.current().pid()));
                    Files.move(tmp, Path.of(go + ".ready"), StandardCopyOption.ATOMIC_MOVE);
                    long deadline = System.nanoTime() + 60_000_000_000L;
                    while (!Files.exists(go) && System.nanoTime() < deadline) {
                        try {
                            Thread.sleep(10);
                        } catch (InterruptedException e) {
                            Thread.currentThread().interrupt();
                            return;
                        }
                    }
                    out.add("await " + Files.exists(go));
                }
                case "big" -> big = "x".repeat(nextInt());
                case "environ-owner" -> out.add("environ-owner "
                        + Files.getAttribute(Path.of("/proc/self/environ"), "unix:uid"));
                default -> throw new IllegalArgumentException("unknown operation " + op);
            }
        }
        Files.write(results, out);
    }
}

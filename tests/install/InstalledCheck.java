import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.Arrays;

/**
 * Run as a single source file with only an installed zelt.jar on the class
 * path, and the installed libraries where the classes look by default or in
 * the directory named by zelt.native.dir:
 *
 *   java -cp JAR [-Dzelt.native.dir=DIR] InstalledCheck.java JAR OUT_DIR
 *
 * inside the sandbox (nisplusd with the test namespace). Makes a table call,
 * host calls and a launch through each launcher; exits 1 on the first
 * mismatch.
 */
public class InstalledCheck {
    static void check(boolean ok, String what) {
        if (!ok) {
            System.out.println("FAILED: " + what);
            System.exit(1);
        }
        System.out.println("ok: " + what);
    }

    /** Waits for a file that a launched program writes (renamed into place when complete). */
    static String awaitFile(Path file) throws Exception {
        long deadline = System.nanoTime() + 20_000_000_000L;
        while (!Files.exists(file, LinkOption.NOFOLLOW_LINKS)) {
            if (System.nanoTime() > deadline) {
                return "(nothing after 20 s)";
            }
            Thread.sleep(20);
        }
        // Another user wrote it: a link is not followed.
        try (var in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            return new String(in.readAllBytes(), StandardCharsets.UTF_8).trim();
        }
    }

    public static void main(String[] args) throws Exception {
        Path jar = Path.of(args[0]).toRealPath();
        Path out = Path.of(args[1]);
        String domain = System.getenv("SANDBOX_DOMAIN");

        for (Class<?> c : new Class<?>[] {DirectoryTableLibrary.class, CmdLauncher.class, GuiLauncher.class}) {
            Path from = Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toRealPath();
            check(from.equals(jar), c.getSimpleName() + " comes from " + from);
        }

        DirectoryTableLibrary dtl = new DirectoryTableLibrary();
        int h = dtl.nisplusOpenTable("hosts.org_dir." + domain + ".", "hosts_tbl");
        check(h >= 0, "open hosts.org_dir: handle " + h);
        String[] row = dtl.nisplusGetFirstEntry(h, "[name=beta],");
        check(row != null && Arrays.equals(row, new String[] {"beta", "beta", "10.1.0.2", "mail"}),
                "entry [name=beta]: " + Arrays.toString(row));
        check(dtl.nisplusGetNextEntry(h) == null, "one entry only");
        dtl.nisplusCloseTable(h);
        check(dtl.nisplusOpenTable("nosuch.org_dir." + domain + ".", "x") == -23, "missing table: -23");

        check(domain.equals(dtl.getDomain()), "domain " + dtl.getDomain());
        check(dtl.addressCompare("10", "10.0.0.1") == -1, "10 < 10.0.0.1");

        // Each launcher writes "<uid> <gid> <variable>" as user and group nobody.
        String script = "echo \"$(id -u) $(id -g) $ZELT_MARK\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0\"";
        Path cmdFile = out.resolve("cmd");
        int rc = new CmdLauncher().launchapp(1, 65534, 65534, 65534, 65534,
                new String[] {"/bin/sh", "-c", script, cmdFile.toString()}, new String[] {"ZELT_MARK=cmd"});
        check(rc == 0, "CmdLauncher.launchapp: " + rc);
        String cmd = awaitFile(cmdFile);
        check(cmd.equals("65534 65534 cmd"), "command-line program ran as nobody: " + cmd);

        Path guiFile = out.resolve("gui");
        rc = new GuiLauncher().launchapp(1, 65534, 65534, 65534, 65534, "/bin/sh",
                new String[] {"ZELT_MARK=gui"}, new String[] {"-c", script, guiFile.toString()});
        check(rc == 0, "GuiLauncher.launchapp: " + rc);
        String gui = awaitFile(guiFile);
        check(gui.equals("65534 65534 gui"), "graphical launcher's program ran as nobody: " + gui);
        System.out.println("INSTALLED OK");
    }
}

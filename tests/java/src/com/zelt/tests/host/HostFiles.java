package com.zelt.tests.host;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;

/** Shared constants and file probes of the host utility tests. */
final class HostFiles {
    private HostFiles() {}

    static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    // Linux errno values.
    static final int EPERM = 1;
    static final int ENOENT = 2;
    static final int ENXIO = 6;
    static final int EACCES = 13;
    static final int ENOTDIR = 20;
    static final int EISDIR = 21;
    static final int EINVAL = 22;

    // access() modes.
    static final int F_OK = 0;
    static final int X_OK = 1;
    static final int W_OK = 2;
    static final int R_OK = 4;

    static final int NOBODY = 65534;

    /** Mode bits (permissions plus set-ID and sticky) of a path, links followed. */
    static int mode(Path p) {
        return (Integer) attribute(p, "unix:mode") & 07777;
    }

    static int uid(Path p) {
        return (Integer) attribute(p, "unix:uid");
    }

    static int gid(Path p) {
        return (Integer) attribute(p, "unix:gid");
    }

    private static Object attribute(Path p, String name) {
        try {
            return Files.getAttribute(p, name);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static void setMode(Path p, int mode) throws IOException {
        Files.setAttribute(p, "unix:mode", mode, LinkOption.NOFOLLOW_LINKS);
    }

    static void setOwner(Path p, int uid, int gid) throws IOException {
        Files.setAttribute(p, "unix:uid", uid);
        Files.setAttribute(p, "unix:gid", gid);
    }

    /** A regular file with the given content, mode and owner. */
    static Path file(Path p, String content, int mode, int uid, int gid) throws IOException {
        Files.writeString(p, content);
        setOwner(p, uid, gid);
        setMode(p, mode);
        return p;
    }

    /**
     * The raw bytes of each name in dir as hex, read by ls in another
     * process, so that this JVM's file-name encoding plays no part.
     */
    static List<String> namesAsHex(Path dir) {
        Processes.Result r = Processes.run("sh", "-c",
                "LC_ALL=C ls -1 -- \"$1\" | while IFS= read -r n; do printf %s \"$n\" | od -An -tx1 -v | tr -d ' \\n'; echo; done",
                "sh", dir.toString());
        if (r.exitCode() != 0) throw new AssertionError("ls failed: " + r.stderr());
        List<String> names = new ArrayList<>();
        for (String line : r.stdout().split("\n")) {
            if (!line.isEmpty()) names.add(line);
        }
        return names;
    }

    static String utf8Hex(String s) {
        return HexFormat.of().formatHex(s.getBytes(StandardCharsets.UTF_8));
    }
}

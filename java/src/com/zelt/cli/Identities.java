package com.zelt.cli;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * The identities a launched program will get, and whether it may execute its
 * file under them: what the tool checks and prints before it calls a
 * launcher, since the launcher's own result says neither.
 */
final class Identities {
    final int realUid;
    final int effectiveUid;
    final int realGid;
    final int effectiveGid;
    /** Supplementary groups: the launched program keeps the caller's. */
    final Set<Integer> groups;

    private Identities(int ruid, int euid, int rgid, int egid, Set<Integer> groups) {
        this.realUid = ruid;
        this.effectiveUid = euid;
        this.realGid = rgid;
        this.effectiveGid = egid;
        this.groups = groups;
    }

    /** This process's identities, from /proc/self/status. */
    static Identities current() {
        int[] uid = {-1, -1};
        int[] gid = {-1, -1};
        Set<Integer> groups = new HashSet<>();
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
                String[] f = line.trim().split("\\s+");
                if (f[0].equals("Uid:") && f.length >= 3) {
                    uid = new int[] {Integer.parseInt(f[1]), Integer.parseInt(f[2])};
                } else if (f[0].equals("Gid:") && f.length >= 3) {
                    gid = new int[] {Integer.parseInt(f[1]), Integer.parseInt(f[2])};
                } else if (f[0].equals("Groups:")) {
                    for (int i = 1; i < f.length; i++) {
                        groups.add(Integer.parseInt(f[i]));
                    }
                }
            }
        } catch (IOException | NumberFormatException e) {
            // Unknown identities stay -1; the checks below then refuse nothing.
        }
        return new Identities(uid[0], uid[1], gid[0], gid[1], groups);
    }

    /**
     * What the program gets from setregid(rgid, egid) and setreuid(ruid,
     * euid) called by this process: -1 keeps the caller's value.
     */
    Identities after(int euid, int egid, int ruid, int rgid) {
        return new Identities(ruid == -1 ? realUid : ruid, euid == -1 ? effectiveUid : euid,
                rgid == -1 ? realGid : rgid, egid == -1 ? effectiveGid : egid, groups);
    }

    boolean anyRoot() {
        return realUid == 0 || effectiveUid == 0;
    }

    String describe() {
        return "real uid " + user(realUid) + ", effective uid " + user(effectiveUid)
                + "; real gid " + group(realGid) + ", effective gid " + group(effectiveGid);
    }

    /**
     * Why execv of path would fail under these identities, or null when the
     * file exists, is a regular file and may be executed: every directory on
     * the way searchable and the file's own execute bit granted.
     */
    String whyNotExecutable(Path path) {
        if (!Files.exists(path)) {
            return "No such file or directory";
        }
        try {
            Path real = path.toRealPath();
            for (Path dir = real.getParent(); dir != null; dir = dir.getParent()) {
                if (!granted(dir)) {
                    return "directory " + dir + " is not searchable by uid " + effectiveUid;
                }
            }
            if (Files.isDirectory(real)) {
                return "Is a directory";
            }
            if (!Files.isRegularFile(real)) {
                return "not a regular file";
            }
            if (!granted(real)) {
                int mode = (Integer) Files.getAttribute(real, "unix:mode") & 07777;
                return String.format("not executable by uid %d gid %d (mode %04o, owner %d:%d)",
                        effectiveUid, effectiveGid, mode, Files.getAttribute(real, "unix:uid"),
                        Files.getAttribute(real, "unix:gid"));
            }
        } catch (IOException | UnsupportedOperationException e) {
            return e.getMessage();
        }
        return null;
    }

    /** The execute (search) bit that applies to these identities. */
    private boolean granted(Path p) throws IOException {
        int mode = (Integer) Files.getAttribute(p, "unix:mode");
        if (effectiveUid == 0) {
            return Files.isDirectory(p) || (mode & 0111) != 0;
        }
        if ((Integer) Files.getAttribute(p, "unix:uid") == effectiveUid) {
            return (mode & 0100) != 0;
        }
        int gid = (Integer) Files.getAttribute(p, "unix:gid");
        if (gid == effectiveGid || groups.contains(gid)) {
            return (mode & 0010) != 0;
        }
        return (mode & 0001) != 0;
    }

    static String user(int id) {
        return id + nameIn("/etc/passwd", id);
    }

    static String group(int id) {
        return id + nameIn("/etc/group", id);
    }

    private static final Map<String, Map<Integer, String>> NAMES = new HashMap<>();

    /** " (name)" from a passwd-style file, or "" when the id has no local name. */
    private static String nameIn(String file, int id) {
        Map<Integer, String> names = NAMES.computeIfAbsent(file, f -> {
            Map<Integer, String> m = new HashMap<>();
            try {
                for (String line : Files.readAllLines(Paths.get(f))) {
                    List<String> fields = List.of(line.split(":", -1));
                    if (fields.size() > 2) {
                        try {
                            m.putIfAbsent(Integer.parseInt(fields.get(2)), fields.get(0));
                        } catch (NumberFormatException e) {
                            // a comment or a NIS "+" line
                        }
                    }
                }
            } catch (IOException e) {
                // no local names
            }
            return m;
        });
        String n = names.get(id);
        return n == null ? "" : " (" + n + ")";
    }
}

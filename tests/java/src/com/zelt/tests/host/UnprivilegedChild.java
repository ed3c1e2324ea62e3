package com.zelt.tests.host;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;

/**
 * Child-JVM entry point for UnprivilegedFilesTest, run as an ordinary user:
 * makes each file call named on the command line and prints its result.
 *
 * <p>Arguments are calls such as {@code create:PATH:UID:GID:MODE},
 * {@code access:PATH:MODE}, {@code delete:PATH} and {@code copystat:FROM:TO};
 * each prints one line {@code CALL=RESULT}.
 */
public final class UnprivilegedChild {
    private UnprivilegedChild() {}

    public static void main(String[] args) {
        DirectoryTableLibrary lib = new DirectoryTableLibrary();
        for (String call : args) {
            String[] f = call.split(":");
            int r = switch (f[0]) {
                case "create" -> lib.fileCreate(f[1], Integer.parseInt(f[2]), Integer.parseInt(f[3]),
                        Integer.parseInt(f[4], 8));
                case "access" -> lib.fileAccess(f[1], Integer.parseInt(f[2]));
                case "delete" -> lib.fileDelete(f[1]);
                case "copystat" -> lib.fileCopyStat(f[1], f[2]);
                default -> throw new IllegalArgumentException(call);
            };
            System.out.println(call + "=" + r);
        }
    }
}

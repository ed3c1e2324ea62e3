package com.zelt.management.tolvaimpl.services;

import java.io.File;

/** Finds and loads the native library of each library class; the one place that rule is written. */
public final class NativeLibraries {
    private NativeLibraries() {}

    /**
     * Loads {@code fileName} from the directory named by the system property
     * {@code zelt.native.dir}, or, without it, from the first absolute directory of
     * {@code java.library.path} that holds a file of that exact name.
     *
     * @param fileName the library's file name, for example {@code libnamestore.so}
     * @throws UnsatisfiedLinkError when no such file is found or it cannot be loaded
     */
    public static void load(String fileName) {
        String dir = System.getProperty("zelt.native.dir");
        String path = System.getProperty("java.library.path", "");
        File file = dir == null ? null : new File(dir, fileName);
        // Without the property, look as System.loadLibrary does, by the exact file name. Relative
        // entries are skipped: they would load from whatever directory the JVM started in.
        for (String d : dir == null ? path.split(File.pathSeparator) : new String[0]) {
            File f = new File(d, fileName);
            if (file == null && f.isAbsolute() && f.isFile()) {
                file = f;
            }
        }
        if (file == null) {
            throw new UnsatisfiedLinkError(fileName + " is in no directory of java.library.path ("
                    + path + ") and zelt.native.dir is not set");
        }
        System.load(file.getAbsolutePath());
    }
}

package com.zelt.benchmarks;

import java.io.File;

/** libbench_floors.so: the floors made from inside the JVM (see native/floors.cpp). */
final class Floors {
    private Floors() {}

    static {
        System.load(new File(System.getProperty("zelt.bench.dir", "."), "libbench_floors.so").getAbsolutePath());
    }

    /** /bin/true by vfork + execv + waitpid, or in launchapp's shape of two vforks; 0 on success. */
    static native int spawn(boolean twoProcesses);

    /** rows × columns values "rJcI" built into a String[] by libnamestore's string helper. */
    static native String[] strings(int rows, int columns);

    static native boolean setNofile(long soft);
}

package com.zelt.tests.launch;

import com.zelt.tests.support.Processes;

/**
 * The C library's environment of this JVM (setenv, unsetenv, environ), and
 * its dumpable flag.
 */
final class NativeEnvironment {
    private NativeEnvironment() {}

    static {
        System.load(Processes.buildDir().resolve("bin/liblaunch_native_env.so").toString());
    }

    static native void set(String name, String value);

    static native void unset(String name);

    /** The strings of environ in order; only while no other thread changes it. */
    static native String[] snapshot();

    /** prctl(PR_GET_DUMPABLE): 1 while this JVM may dump core and be traced by its own user. */
    static native int dumpable();
}

package com.zelt.tests.launch;

import com.zelt.tests.support.Processes;

/** The C library's environment of this JVM (setenv, unsetenv, environ). */
final class NativeEnvironment {
    private NativeEnvironment() {}

    static {
        System.load(Processes.buildDir().resolve("bin/liblaunch_native_env.so").toString());
    }

    static native void set(String name, String value);

    static native void unset(String name);

    /** The strings of environ in order; only while no other thread changes it. */
    static native String[] snapshot();
}

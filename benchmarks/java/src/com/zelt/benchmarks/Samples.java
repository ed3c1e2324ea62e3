package com.zelt.benchmarks;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;

/**
 * Samples in nanoseconds, appended as "KEY microseconds" lines to the file
 * named by $BENCH_SAMPLES, where the report gathers the rounds of a run.
 */
final class Samples {
    private long[] nanos = new long[64];
    private int size;

    void add(long ns) {
        if (size == nanos.length) nanos = Arrays.copyOf(nanos, size * 2);
        nanos[size++] = ns;
    }

    /** Times one call, adding its time unless it is a warm-up call. */
    void time(boolean keep, Runnable call) {
        long t0 = System.nanoTime();
        call.run();
        long t1 = System.nanoTime();
        if (keep) add(t1 - t0);
    }

    void save(String key) {
        StringBuilder out = new StringBuilder(size * 24);
        for (int i = 0; i < size; i++) out.append(key).append(' ').append(nanos[i] / 1e3).append('\n');
        append(out);
    }

    /** One value (a size in KiB, say) under key. */
    static void saveValue(String key, long value) {
        append(key + " " + value + "\n");
    }

    private static void append(CharSequence lines) {
        String file = System.getenv("BENCH_SAMPLES");
        check(file != null && !file.isEmpty(), "BENCH_SAMPLES is not set");
        try {
            Files.writeString(Path.of(file), lines, StandardOpenOption.CREATE, StandardOpenOption.APPEND);
        } catch (IOException e) {
            check(false, "cannot append samples to " + file + ": " + e);
        }
    }

    /** Ends the run with a message when a benchmark's result is wrong. */
    static void check(boolean ok, String what) {
        if (!ok) {
            System.err.println("benchmark failed: " + what);
            System.exit(1);
        }
    }

    /** A field of /proc/self/status in KiB (VmRSS, VmHWM, ...), or -1. */
    static long statusKib(String field) {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                if (line.startsWith(field + ":")) {
                    return Long.parseLong(line.substring(field.length() + 1).trim().split("\\s+")[0]);
                }
            }
        } catch (IOException | NumberFormatException e) {
            return -1;
        }
        return -1;
    }
}

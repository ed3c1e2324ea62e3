package com.zelt.benchmarks;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.Locale;

/**
 * Latency samples in nanoseconds and the one-line summaries the bench script
 * parses: "RESULT key=value ...".
 */
final class Samples {
    private long[] nanos;
    private int size;

    Samples(int capacity) {
        nanos = new long[Math.max(1, capacity)];
    }

    void add(long ns) {
        if (size == nanos.length) nanos = Arrays.copyOf(nanos, size * 2);
        nanos[size++] = ns;
    }

    int size() {
        return size;
    }

    private long[] sorted() {
        long[] s = Arrays.copyOf(nanos, size);
        Arrays.sort(s);
        return s;
    }

    /** Nearest-rank percentile (0 < p <= 100) in microseconds. */
    double percentileMicros(double p) {
        long[] s = sorted();
        if (s.length == 0) return Double.NaN;
        int rank = (int) Math.ceil(p / 100.0 * s.length);
        return s[Math.max(0, Math.min(s.length - 1, rank - 1))] / 1e3;
    }

    double medianMicros() {
        return percentileMicros(50);
    }

    double meanMicros() {
        long total = 0;
        for (int i = 0; i < size; i++) total += nanos[i];
        return size == 0 ? Double.NaN : total / 1e3 / size;
    }

    /** "n=.. median_us=.. p90_us=.. mean_us=..", the fields every summary carries. */
    String summary() {
        return String.format(Locale.ROOT, "n=%d median_us=%.1f p90_us=%.1f mean_us=%.1f", size,
                medianMicros(), percentileMicros(90), meanMicros());
    }

    /**
     * Appends every sample, as "KEY microseconds" lines, to the file named by
     * $BENCH_SAMPLES, where the report gathers the rounds of a run.
     */
    void save(String key) {
        String file = System.getenv("BENCH_SAMPLES");
        if (file == null || file.isEmpty()) return;
        StringBuilder out = new StringBuilder(size * 24);
        for (int i = 0; i < size; i++) {
            out.append(key).append(' ').append(String.format(Locale.ROOT, "%.3f", nanos[i] / 1e3)).append('\n');
        }
        try {
            Files.writeString(Path.of(file), out, StandardOpenOption.CREATE, StandardOpenOption.APPEND);
        } catch (IOException e) {
            System.err.println("cannot append samples to " + file + ": " + e);
            System.exit(1);
        }
    }

    /** Ends the run with a message when a benchmark's result is wrong. */
    static void check(boolean ok, String what) {
        if (!ok) {
            System.err.println("benchmark failed: " + what);
            System.exit(1);
        }
    }

    /** An iteration count times the run's scale, at least 5. */
    static int scaled(int n, double scale) {
        return Math.max(5, (int) Math.round(n * scale));
    }

    static void result(String kind, String fields) {
        System.out.println("RESULT " + kind + " " + fields);
        System.out.flush();
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

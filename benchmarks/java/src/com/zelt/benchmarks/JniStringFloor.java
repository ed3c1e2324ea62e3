package com.zelt.benchmarks;

import java.io.File;

/**
 * The JNI share of get-all: building a flat String[] of rows × 8 values in
 * native code with no NIS+ call (see benchmarks/native/jni_string_floor.cpp
 * for the modes).
 *
 * <pre>
 *   java -Dzelt.bench.dir=BUILD/benchmarks -cp BUILD/benchmarks/classes \
 *       com.zelt.benchmarks.JniStringFloor [SCALE]
 * </pre>
 */
public final class JniStringFloor {
    private JniStringFloor() {}

    static {
        System.load(new File(System.getProperty("zelt.bench.dir", "."), "libbench_jni_strings.so")
                .getAbsolutePath());
    }

    static native String[] build(int rows, int columns, int mode);

    private static final int COLUMNS = 8;
    private static final String[] MODES = {"newstringutf", "namestore", "decodeonly"};

    public static void main(String[] args) {
        double scale = args.length > 0 ? Double.parseDouble(args[0]) : 1.0;
        for (int rows : new int[] {100, 1_000, 10_000}) {
            int iterations = Samples.scaled(Math.max(20, 40_000 / rows), scale);
            for (int mode = 0; mode < MODES.length; mode++) {
                Samples s = new Samples(iterations);
                for (int i = -Math.max(3, iterations / 10); i < iterations; i++) {
                    long t0 = System.nanoTime();
                    String[] all = build(rows, COLUMNS, mode);
                    long t1 = System.nanoTime();
                    Samples.check(all != null && all.length == rows * COLUMNS
                            && (mode == 2 || ("r" + (rows - 1) + "c7").equals(all[all.length - 1])),
                            "JNI build gave a wrong array");
                    if (i >= 0) s.add(t1 - t0);
                }
                Samples.result("jni", "mode=" + MODES[mode] + " rows=" + rows + " " + s.summary());
                s.save("jni:" + MODES[mode] + ":" + rows);
            }
        }
    }
}

package com.zelt.tests.nisplus;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.tests.support.NisplusServer;

/**
 * Timings of the bridge against nisplusd (not a test). Run inside the NIS+
 * sandbox, e.g. from the build directory:
 *
 * <pre>
 * ../tests/sandbox/sandbox.sh --nisplus ../tests/nisplus/seed.nis -- java -Dzelt.native.dir=lib \
 *     -Dzelt.build.dir=. -cp java/classes:java/test-classes com.zelt.tests.nisplus.BridgeBenchmark
 * </pre>
 */
public final class BridgeBenchmark {
    private static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    private BridgeBenchmark() {}

    public static void main(String[] args) {
        String dir = "bench." + NisplusServer.directory();
        NisplusServer.load("directory " + dir + "\n");
        String small = load(dir, "small", 1_000);
        String big = load(dir, "big", 10_000);

        int h = LIB.nisplusOpenTable(big, "b_tbl");
        report("open + close", 2_000, () -> LIB.nisplusCloseTable(LIB.nisplusOpenTable(big, "b_tbl")));
        report("get-first by key", 2_000, () -> LIB.nisplusGetFirstEntry(h, "[c0=r77c0],"));
        int hs = LIB.nisplusOpenTable(small, "b_tbl");
        report("get-all 1,000 x 8", 200, () -> LIB.nisplusGetAllEntries(hs, ""));
        report("get-all 10,000 x 8", 20, () -> LIB.nisplusGetAllEntries(h, ""));
        perRow("get-next over 1,000 x 8", hs, 1_000, 20);
        perRow("get-next over 10,000 x 8", h, 10_000, 5);
        String[] row = {"new", "1", "2", "3", "4", "5", "6", "7"};
        report("add + delete entry", 1_000, () -> {
            LIB.nisplusAddEntry(hs, row);
            LIB.nisplusDeleteEntry(hs, "[c0=new],");
        });
    }

    private static String load(String dir, String label, int rows) {
        String t = label + "." + dir;
        StringBuilder seed = new StringBuilder("table " + t + " type=b_tbl\n");
        for (int i = 0; i < 8; i++) {
            seed.append("column c").append(i).append(i == 0 ? " flags=8\n" : "\n");
        }
        for (int j = 0; j < rows; j++) {
            seed.append("entry ").append(t);
            for (int i = 0; i < 8; i++) {
                seed.append(" \"r").append(j).append('c').append(i).append("\\0\"");
            }
            seed.append('\n');
        }
        NisplusServer.load(seed.toString());
        return t;
    }

    private static void report(String what, int times, Runnable r) {
        for (int i = 0; i < Math.max(1, times / 10); i++) {
            r.run();
        }
        long start = System.nanoTime();
        for (int i = 0; i < times; i++) {
            r.run();
        }
        double us = (System.nanoTime() - start) / 1e3 / times;
        System.out.printf("%-28s %10.1f us/call%n", what, us);
    }

    private static void perRow(String what, int handle, int rows, int passes) {
        long listing = 0;
        long walking = 0;
        for (int p = 0; p < passes; p++) {
            long t0 = System.nanoTime();
            LIB.nisplusGetFirstEntry(handle, "");
            long t1 = System.nanoTime();
            int n = 1;
            while (LIB.nisplusGetNextEntry(handle) != null) {
                n++;
            }
            long t2 = System.nanoTime();
            if (n != rows) {
                throw new AssertionError(what + ": " + n + " rows");
            }
            listing += t1 - t0;
            walking += t2 - t1;
        }
        System.out.printf("%-28s %10.1f us/row (get-first %.1f ms)%n", what, walking / 1e3 / passes / (rows - 1),
                listing / 1e6 / passes);
    }
}

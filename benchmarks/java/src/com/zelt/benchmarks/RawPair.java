package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.io.File;
import java.util.Locale;

/**
 * get-all against libnsl's own nis_list of the same table in one JVM, at
 * 1,000 and 10,000 entries: a JVM's NIS+ calls keep one speed for its whole
 * life, fast or much slower, so raw_nis_bench in a process of its own cannot
 * be held against a bridge JVM; inside one JVM both sides see the same speed.
 *
 * <pre>
 *   LD_PRELOAD=BUILD/benchmarks/libbench_nsl_shim.so \
 *   java -Dzelt.native.dir=BUILD/lib -Dzelt.bench.dir=BUILD/benchmarks \
 *       -cp BUILD/java/classes:BUILD/benchmarks/classes com.zelt.benchmarks.RawPair DIRECTORY SCALE
 * </pre>
 *
 * The raw side is libbench_raw_nis.so: nis_list(name, 0, NULL, NULL) timed
 * alone, the result freed after the clock stopped, as "raw libnsl" in the
 * report. libnsl can bind to a server only with the test-only clntudp_create
 * ahead of libtirpc's, hence the preload; the run stops unless nis_list comes
 * from libnsl and clntudp_create from the shim.
 *
 * The calls alternate in blocks of four, four listings on one side then four
 * on the other, the raw side first in even blocks and get-all first in odd
 * ones; the first tenth of the blocks is warm-up. Samples go to
 * $BENCH_SAMPLES under rawpair:raw:ROWS and rawpair:getall:ROWS; the result
 * lines carry this JVM's medians and their ratio (get-all ÷ raw).
 */
public final class RawPair {
    private RawPair() {}

    private static final int PER_BLOCK = 4;
    private static final String[] SIDES = {"raw", "getall"};

    /** The listing of name as a pointer, or 0 when it failed or had another number of objects. */
    private static native long list(String name, int expectRows);

    private static native void free(long result);

    /** "nis_list=FILE clntudp_create=FILE": where the loader found the two. */
    private static native String origin();

    public static void main(String[] args) {
        if (args.length != 2) {
            System.err.println("usage: RawPair DIRECTORY SCALE");
            System.exit(2);
        }
        String dir = args[0];
        double scale = Double.parseDouble(args[1]);
        System.load(new File(System.getProperty("zelt.bench.dir", "."), "libbench_raw_nis.so").getAbsolutePath());
        String where = origin();
        Samples.result("rawpair", "op=origin " + where);
        Samples.check(where.matches("nis_list=\\S*/libnsl\\.so[.0-9]* .*"), "nis_list is not libnsl's: " + where);
        Samples.check(where.matches(".* clntudp_create=\\S*/libbench_nsl_shim\\.so"),
                "clntudp_create is not the shim's: " + where);

        DirectoryTableLibrary lib = new DirectoryTableLibrary();
        // Full scale (0.4): 100 samples a side at 1,000 entries, 40 at 10,000.
        pair(lib, 1_000, "bench1000." + dir, Math.max(2, (int) Math.round(62.5 * scale)));
        pair(lib, 10_000, "bench10000." + dir, Math.max(2, (int) Math.round(25 * scale)));
    }

    private static void pair(DirectoryTableLibrary lib, int rows, String table, int blocks) {
        int h = lib.nisplusOpenTable(table, BridgeBench.TYPE);
        Samples.check(h >= 0, "cannot open " + table + ": " + h);
        int warmup = Math.max(1, blocks / 10);
        Samples[] s = {new Samples(blocks * PER_BLOCK), new Samples(blocks * PER_BLOCK)};
        for (int b = -warmup; b < blocks; b++) {
            for (int k = 0; k < 2; k++) {
                int side = (b & 1) == 0 ? k : 1 - k;
                for (int j = 0; j < PER_BLOCK; j++) {
                    long ns = side == 0 ? raw(table, rows) : getAll(lib, h, table, rows);
                    if (b >= 0) s[side].add(ns);
                }
            }
        }
        lib.nisplusCloseTable(h);
        for (int side = 0; side < 2; side++) {
            Samples.result("rawpair", "side=" + SIDES[side] + " op=" + (side == 0 ? "list" : "getall") + " name="
                    + table + " rows=" + rows + " " + s[side].summary());
            s[side].save("rawpair:" + SIDES[side] + ":" + rows);
        }
        double raw = s[0].medianMicros();
        double all = s[1].medianMicros();
        Samples.result("rawpair", String.format(Locale.ROOT, "op=ratio rows=%d raw_us=%.1f getall_us=%.1f ratio=%.3f",
                rows, raw, all, all / raw));
    }

    /** One nis_list, timed without the nis_freeresult that follows it. */
    private static long raw(String table, int rows) {
        long t0 = System.nanoTime();
        long r = list(table, rows);
        long t1 = System.nanoTime();
        Samples.check(r != 0, "nis_list of " + table + " failed or did not give " + rows + " objects");
        free(r);
        return t1 - t0;
    }

    private static long getAll(DirectoryTableLibrary lib, int h, String table, int rows) {
        long t0 = System.nanoTime();
        String[] all = lib.nisplusGetAllEntries(h, "");
        long t1 = System.nanoTime();
        Samples.check(all != null && all.length == rows * BridgeBench.COLUMNS, "get-all of " + table + " gave "
                + (all == null ? "null" : all.length + " strings"));
        return t1 - t0;
    }
}

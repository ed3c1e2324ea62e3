package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;

/**
 * Costs of the NIS+ bridge as the Java side sees them, against a running
 * nisplusd whose tables the bench script loaded: tables bench100, bench1000
 * and bench10000 (8 columns, that many entries, type bench_tbl) and an empty
 * table scratch, all in DIRECTORY.
 *
 * <pre>
 *   java -Dzelt.native.dir=BUILD/lib -cp BUILD/java/classes:BUILD/benchmarks/classes \
 *       com.zelt.benchmarks.BridgeBench DIRECTORY [SCALE]
 * </pre>
 *
 * SCALE (default 1.0) multiplies every iteration count. The comparison with
 * a baseline libnamestore is PairBench's, both libraries in one JVM.
 */
public final class BridgeBench {
    private BridgeBench() {}

    static final String TYPE = "bench_tbl";
    static final int COLUMNS = 8;
    private static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    public static void main(String[] args) {
        if (args.length < 1 || args.length > 2) {
            System.err.println("usage: BridgeBench DIRECTORY [SCALE]");
            System.exit(2);
        }
        String dir = args[0];
        double scale = args.length > 1 ? Double.parseDouble(args[1]) : 1.0;

        for (int rows : new int[] {100, 1_000, 10_000}) {
            String table = "bench" + rows + "." + dir;
            // At least 40 (16 at the full run's scale, as many as the raw listings
            // of 10,000 entries get), so that a busy spell moves the median of the
            // large listings less.
            int iterations = Samples.scaled(Math.max(40, 40_000 / rows), scale);
            int warmup = Math.max(3, iterations / 10);
            int h = open(table);
            getAll(h, table, rows, iterations, warmup);
            // Right after the first get-all: after the large listings open +
            // close came out slower on the same library.
            if (rows == 100) openClose(table, Samples.scaled(2_000, scale));
            walk(h, table, rows, iterations, warmup);
            LIB.nisplusCloseTable(h);
        }
        addDelete("scratch." + dir, Samples.scaled(1_000, scale));
    }

    static int open(String table) {
        int h = LIB.nisplusOpenTable(table, TYPE);
        Samples.check(h >= 0, "cannot open " + table + ": " + h);
        return h;
    }

    private static void getAll(int h, String table, int rows, int iterations, int warmup) {
        Samples s = new Samples(iterations);
        for (int i = -warmup; i < iterations; i++) {
            long t0 = System.nanoTime();
            String[] all = LIB.nisplusGetAllEntries(h, "");
            long t1 = System.nanoTime();
            Samples.check(all != null && all.length == rows * COLUMNS,
                    "get-all of " + table + " gave " + (all == null ? "null" : all.length + " strings"));
            if (i >= 0) s.add(t1 - t0);
        }
        Samples.result("bridge", "op=getall name=" + table + " rows=" + rows + " " + s.summary());
        s.save("bridge:getall:" + rows);
    }

    /** get-first of the whole table and get-next to its end, as one timed unit. */
    private static void walk(int h, String table, int rows, int iterations, int warmup) {
        Samples whole = new Samples(iterations);
        Samples first = new Samples(iterations);
        for (int i = -warmup; i < iterations; i++) {
            long t0 = System.nanoTime();
            String[] row = LIB.nisplusGetFirstEntry(h, "");
            long t1 = System.nanoTime();
            int n = 0;
            while (row != null) {
                n++;
                row = LIB.nisplusGetNextEntry(h);
            }
            long t2 = System.nanoTime();
            Samples.check(n == rows, "walk of " + table + " gave " + n + " rows");
            if (i >= 0) {
                whole.add(t2 - t0);
                first.add(t1 - t0);
            }
        }
        Samples.result("bridge", "op=walk name=" + table + " rows=" + rows + " " + whole.summary());
        Samples.result("bridge", "op=getfirst name=" + table + " rows=" + rows + " " + first.summary());
        whole.save("bridge:walk:" + rows);
        first.save("bridge:getfirst:" + rows);
    }

    private static void openClose(String table, int iterations) {
        Samples s = new Samples(iterations);
        for (int i = -iterations / 10; i < iterations; i++) {
            long t0 = System.nanoTime();
            int h = LIB.nisplusOpenTable(table, TYPE);
            LIB.nisplusCloseTable(h);
            long t1 = System.nanoTime();
            Samples.check(h >= 0, "open of " + table + " gave " + h);
            if (i >= 0) s.add(t1 - t0);
        }
        Samples.result("bridge", "op=openclose name=" + table + " " + s.summary());
        s.save("bridge:openclose:-");
    }

    /** count new entries added one by one, then each deleted by its key. */
    private static void addDelete(String table, int count) {
        int h = open(table);
        Samples adds = new Samples(count);
        Samples deletes = new Samples(count);
        for (int i = 0; i < count; i++) {
            String[] values = new String[COLUMNS];
            for (int c = 0; c < COLUMNS; c++) values[c] = "add" + i + "c" + c;
            long t0 = System.nanoTime();
            int st = LIB.nisplusAddEntry(h, values);
            long t1 = System.nanoTime();
            Samples.check(st == 0, "add-entry gave " + st);
            adds.add(t1 - t0);
        }
        for (int i = 0; i < count; i++) {
            long t0 = System.nanoTime();
            int st = LIB.nisplusDeleteEntry(h, "[c0=add" + i + "c0],");
            long t1 = System.nanoTime();
            Samples.check(st == 0, "delete-entry gave " + st);
            deletes.add(t1 - t0);
        }
        LIB.nisplusCloseTable(h);
        Samples.result("bridge", "op=add name=" + table + " " + adds.summary());
        Samples.result("bridge", "op=remove name=" + table + " " + deletes.summary());
        adds.save("bridge:add:-");
        deletes.save("bridge:remove:-");
    }
}

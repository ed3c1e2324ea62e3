package com.zelt.benchmarks;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.util.Locale;

/**
 * get-all of 100 entries and open + close on two libnamestore builds in one
 * JVM: the present one and a baseline, so that the JVM's own speed, which
 * differs from JVM to JVM by far more than the two libraries do, falls on
 * both alike.
 *
 * <pre>
 *   java -cp BUILD/benchmarks/classes com.zelt.benchmarks.PairBench \
 *       DIRECTORY SCALE CLASSES PRESENT_LIB_DIR BASE_LIB_DIR
 * </pre>
 *
 * CLASSES is the directory of the caller's-side classes. Each side gets a
 * class loader of its own over CLASSES (parent: the platform loader, so
 * neither sees the other's classes) and initialises DirectoryTableLibrary
 * in it with zelt.native.dir set to its library directory; the JVM binds
 * each loader's native methods to the library that loader loaded. The two
 * directories must differ: one JVM loads a library file only once.
 *
 * The calls alternate in blocks of ten, each block ten get-alls of
 * bench100.DIRECTORY on a handle opened once, each followed by an open +
 * close of the same table; even blocks start with the present library, odd
 * ones with the baseline. The first tenth of the blocks is warm-up. Samples
 * go to $BENCH_SAMPLES under pair:present:getall:100, pair:base:getall:100,
 * pair:present:openclose and pair:base:openclose; the result lines carry
 * this JVM's medians and their ratio (present ÷ baseline).
 */
public final class PairBench {
    private PairBench() {}

    private static final String LIBRARY_CLASS =
            "com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary";
    private static final String[] SIDES = {"present", "base"};
    private static final int PER_BLOCK = 10;
    // BridgeBench's table type and width, not its fields: touching that class
    // would load the library through the JVM's own class path.
    private static final String TYPE = "bench_tbl";
    private static final int COLUMNS = 8;

    /** One side's bound entry points. */
    private record Side(MethodHandle open, MethodHandle close, MethodHandle getAll) {}

    public static void main(String[] args) throws Throwable {
        if (args.length != 5) {
            System.err.println("usage: PairBench DIRECTORY SCALE CLASSES PRESENT_LIB_DIR BASE_LIB_DIR");
            System.exit(2);
        }
        String table = "bench100." + args[0];
        double scale = Double.parseDouble(args[1]);
        Path classes = Path.of(args[2]);
        // 64 blocks (640 calls a side) at the full run's scale of 0.4.
        int blocks = Math.max(2, (int) Math.round(160 * scale));
        int warmup = Math.max(1, blocks / 10);

        Side[] side = {load(classes, args[3], "present"), load(classes, args[4], "baseline")};
        int[] handle = new int[2];
        for (int s = 0; s < 2; s++) {
            handle[s] = (int) side[s].open.invoke(table, TYPE);
            Samples.check(handle[s] >= 0, SIDES[s] + ": cannot open " + table + ": " + handle[s]);
        }
        Samples[] getAll = {new Samples(blocks * PER_BLOCK), new Samples(blocks * PER_BLOCK)};
        Samples[] openClose = {new Samples(blocks * PER_BLOCK), new Samples(blocks * PER_BLOCK)};
        for (int b = -warmup; b < blocks; b++) {
            for (int k = 0; k < 2; k++) {
                int s = (b & 1) == 0 ? k : 1 - k;
                for (int j = 0; j < PER_BLOCK; j++) {
                    long t0 = System.nanoTime();
                    String[] all = (String[]) side[s].getAll.invoke(handle[s], "");
                    long t1 = System.nanoTime();
                    int h = (int) side[s].open.invoke(table, TYPE);
                    side[s].close.invoke(h);
                    long t2 = System.nanoTime();
                    Samples.check(all != null && all.length == 100 * COLUMNS, SIDES[s]
                            + ": get-all of " + table + " gave " + (all == null ? "null" : all.length + " strings"));
                    Samples.check(h >= 0, SIDES[s] + ": open of " + table + " gave " + h);
                    if (b >= 0) {
                        getAll[s].add(t1 - t0);
                        openClose[s].add(t2 - t1);
                    }
                }
            }
        }
        for (int s = 0; s < 2; s++) side[s].close.invoke(handle[s]);

        for (int s = 0; s < 2; s++) {
            Samples.result("pair", "side=" + SIDES[s] + " op=getall name=" + table + " rows=100 "
                    + getAll[s].summary());
            Samples.result("pair", "side=" + SIDES[s] + " op=openclose name=" + table + " "
                    + openClose[s].summary());
            getAll[s].save("pair:" + SIDES[s] + ":getall:100");
            openClose[s].save("pair:" + SIDES[s] + ":openclose");
        }
        Samples.result("pair", ratio("getall", getAll));
        Samples.result("pair", ratio("openclose", openClose));
    }

    private static String ratio(String op, Samples[] s) {
        double now = s[0].medianMicros();
        double base = s[1].medianMicros();
        return String.format(Locale.ROOT, "op=%s present_us=%.1f base_us=%.1f ratio=%.3f", op, now, base,
                now / base);
    }

    /**
     * DirectoryTableLibrary in a loader of its own, its library loaded from
     * libDir; a failure ends the run with the side named.
     */
    private static Side load(Path classes, String libDir, String name) throws Exception {
        String before = System.getProperty("zelt.native.dir");
        Class<?> c;
        Object lib;
        try {
            System.setProperty("zelt.native.dir", libDir);
            ClassLoader loader = new URLClassLoader(new URL[] {classes.toUri().toURL()},
                    ClassLoader.getPlatformClassLoader());
            c = Class.forName(LIBRARY_CLASS, true, loader);
            lib = c.getConstructor().newInstance();
        } catch (ReflectiveOperationException | LinkageError e) {
            Throwable cause = e instanceof ExceptionInInitializerError && e.getCause() != null ? e.getCause() : e;
            Samples.check(false, "cannot load the " + name + " libnamestore from " + libDir + ": " + cause);
            throw e;
        } finally {
            if (before == null) System.clearProperty("zelt.native.dir");
            else System.setProperty("zelt.native.dir", before);
        }
        MethodHandles.Lookup l = MethodHandles.publicLookup();
        return new Side(
                l.findVirtual(c, "nisplusOpenTable", MethodType.methodType(int.class, String.class, String.class))
                        .bindTo(lib),
                l.findVirtual(c, "nisplusCloseTable", MethodType.methodType(void.class, int.class)).bindTo(lib),
                l.findVirtual(c, "nisplusGetAllEntries", MethodType.methodType(String[].class, int.class, String.class))
                        .bindTo(lib));
    }
}

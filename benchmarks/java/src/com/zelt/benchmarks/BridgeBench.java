package com.zelt.benchmarks;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.io.File;

/**
 * The NIS+ bridge against Debian's libnsl client in one JVM, against a
 * running nisplusd whose tables the bench script loaded (DIRECTORY holds
 * bench100, bench1000 and bench10000 of 8 columns, type bench_tbl, and the
 * empty scratch, rawscratch and layerscratch). A JVM's NIS+ calls keep one
 * speed for its whole life, fast or several times slower, by where the
 * scheduler puts it against nisplusd, so the clients are held against each
 * other only inside one JVM, their calls interleaved.
 *
 * <pre>
 *   LD_PRELOAD=BUILD/benchmarks/libbench_nsl_shim.so \
 *   java -Dzelt.native.dir=BUILD/lib -Dzelt.bench.dir=BUILD/benchmarks \
 *       -cp BUILD/java/classes:BUILD/benchmarks/classes com.zelt.benchmarks.BridgeBench DIRECTORY SCALE
 * </pre>
 *
 * Three clients: the bridge (DirectoryTableLibrary), raw libnsl and
 * libnamestore's client layer without JNI (Raw and Layer below; see
 * native/nis_client_jni.cpp), and the JNI string floor (Floors.strings).
 * The run stops unless Raw's nis_list is libnsl's and clntudp_create the
 * preloaded stand-in's. Samples go to $BENCH_SAMPLES as bridge:WHAT.
 */
public final class BridgeBench {
    private BridgeBench() {}

    static final String TYPE = "bench_tbl";
    static final int COLUMNS = 8;
    private static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();

    /** libnsl's nis_* calls (libbench_raw_nis.so). */
    static final class Raw {
        static native long list(String name, int rows);

        static native void free(long result);

        static native int lookup(String name);

        static native int add(String table, String type, int id);

        static native int remove(String name);

        static native String origin();
    }

    /** The same through libnamestore's client layer (libbench_layer_nis.so). */
    static final class Layer {
        static native long list(String name, int rows);

        static native void free(long result);

        static native int lookup(String name);

        static native int add(String table, String type, int id);

        static native int remove(String name);

        static native String origin();
    }

    public static void main(String[] args) {
        String dir = args[0];
        double scale = Double.parseDouble(args[1]);
        String lib = System.getProperty("zelt.bench.dir", ".");
        System.load(new File(lib, "libbench_raw_nis.so").getAbsolutePath());
        System.load(new File(lib, "libbench_layer_nis.so").getAbsolutePath());
        String raw = Raw.origin();
        Samples.check(raw.matches("nis_list=\\S*/libnsl\\.so[.0-9]* clntudp_create=\\S*/libbench_nsl_shim\\.so"),
                "raw side is not libnsl with the stand-in preloaded: " + raw);
        Samples.check(Layer.origin().startsWith("nis_list=" + new File(lib, "libbench_layer_nis.so").getAbsolutePath()),
                "layer side is not the client layer: " + Layer.origin());

        int n = Math.max(5, (int) Math.round(2_000 * scale));
        openClose("bench100." + dir, n);
        addRemove(dir, Math.max(5, (int) Math.round(1_000 * scale)));
        list(100, dir, Math.max(5, (int) Math.round(400 * scale)));
        list(1_000, dir, Math.max(5, (int) Math.round(250 * scale)));
        list(10_000, dir, Math.max(3, (int) Math.round(100 * scale)));
    }

    /** The listings of one table by every client, one call of each per round, the order rotating. */
    private static void list(int rows, String dir, int iterations) {
        String table = "bench" + rows + "." + dir;
        int h = LIB.nisplusOpenTable(table, TYPE);
        Samples.check(h >= 0, "cannot open " + table + ": " + h);
        String[] keys = {"raw", "rawfree", "layer", "layerfree", "getall", "getfirst", "walk", "strings"};
        Samples[] s = new Samples[keys.length];
        for (int k = 0; k < s.length; k++) s[k] = new Samples();
        for (int i = -Math.max(2, iterations / 10); i < iterations; i++) {
            boolean keep = i >= 0;
            for (int j = 0; j < 5; j++) {
                switch ((i + j + 5) % 5) {
                    case 0 -> {
                        long t0 = System.nanoTime();
                        long r = Raw.list(table, rows);
                        long t1 = System.nanoTime();
                        Samples.check(r != 0, "libnsl's listing of " + table + " failed");
                        Raw.free(r);
                        long t2 = System.nanoTime();
                        if (keep) {
                            s[0].add(t1 - t0);
                            s[1].add(t2 - t0);
                        }
                    }
                    case 1 -> {
                        long t0 = System.nanoTime();
                        long r = Layer.list(table, rows);
                        long t1 = System.nanoTime();
                        Samples.check(r != 0, "the layer's listing of " + table + " failed");
                        Layer.free(r);
                        long t2 = System.nanoTime();
                        if (keep) {
                            s[2].add(t1 - t0);
                            s[3].add(t2 - t0);
                        }
                    }
                    case 2 -> s[4].time(keep, () -> Samples.check(
                            count(LIB.nisplusGetAllEntries(h, "")) == rows * COLUMNS, "get-all failed"));
                    case 3 -> {
                        long t0 = System.nanoTime();
                        String[] row = LIB.nisplusGetFirstEntry(h, "");
                        long t1 = System.nanoTime();
                        int got = 0;
                        for (; row != null; row = LIB.nisplusGetNextEntry(h)) got++;
                        long t2 = System.nanoTime();
                        Samples.check(got == rows, "get-first + next of " + table + " gave " + got + " rows");
                        if (keep) {
                            s[5].add(t1 - t0);
                            s[6].add(t2 - t0);
                        }
                    }
                    default -> s[7].time(keep, () -> Samples.check(
                            count(Floors.strings(rows, COLUMNS)) == rows * COLUMNS, "the string floor failed"));
                }
            }
        }
        LIB.nisplusCloseTable(h);
        for (int k = 0; k < keys.length; k++) s[k].save("bridge:" + keys[k] + ":" + rows);
    }

    private static int count(String[] a) {
        return a == null ? -1 : a.length;
    }

    /** Open + close of a table against the clients' look-up of it. */
    private static void openClose(String table, int iterations) {
        Samples[] s = {new Samples(), new Samples(), new Samples()};
        for (int i = -iterations / 10; i < iterations; i++) {
            boolean keep = i >= 0;
            s[0].time(keep, () -> {
                int h = LIB.nisplusOpenTable(table, TYPE);
                Samples.check(h >= 0, "open of " + table + " gave " + h);
                LIB.nisplusCloseTable(h);
            });
            s[1].time(keep, () -> Samples.check(Raw.lookup(table) == 0, "libnsl's look-up failed"));
            s[2].time(keep, () -> Samples.check(Layer.lookup(table) == 0, "the layer's look-up failed"));
        }
        s[0].save("bridge:openclose:bridge");
        s[1].save("bridge:openclose:raw");
        s[2].save("bridge:openclose:layer");
    }

    /** count entries added one by one by each client, then each removed by its key. */
    private static void addRemove(String dir, int count) {
        String table = "scratch." + dir;
        String rawTable = "rawscratch." + dir;
        String layerTable = "layerscratch." + dir;
        int h = LIB.nisplusOpenTable(table, TYPE);
        Samples.check(h >= 0, "cannot open " + table + ": " + h);
        Samples[] add = {new Samples(), new Samples(), new Samples()};
        Samples[] remove = {new Samples(), new Samples(), new Samples()};
        for (int i = 0; i < count; i++) {
            String[] values = new String[COLUMNS];
            for (int c = 0; c < COLUMNS; c++) values[c] = "add" + i + "c" + c;
            int id = i;
            add[0].time(true, () -> Samples.check(LIB.nisplusAddEntry(h, values) == 0, "add-entry failed"));
            add[1].time(true, () -> Samples.check(Raw.add(rawTable, TYPE, id) == 0, "libnsl's add failed"));
            add[2].time(true, () -> Samples.check(Layer.add(layerTable, TYPE, id) == 0, "the layer's add failed"));
        }
        for (int i = 0; i < count; i++) {
            String key = "[c0=add" + i + "c0],";
            remove[0].time(true, () -> Samples.check(LIB.nisplusDeleteEntry(h, key) == 0, "delete-entry failed"));
            remove[1].time(true, () -> Samples.check(Raw.remove(key + rawTable) == 0, "libnsl's remove failed"));
            remove[2].time(true, () -> Samples.check(Layer.remove(key + layerTable) == 0, "the layer's remove failed"));
        }
        LIB.nisplusCloseTable(h);
        String[] clients = {"bridge", "raw", "layer"};
        for (int c = 0; c < 3; c++) {
            add[c].save("bridge:add:" + clients[c]);
            remove[c].save("bridge:remove:" + clients[c]);
        }
    }
}

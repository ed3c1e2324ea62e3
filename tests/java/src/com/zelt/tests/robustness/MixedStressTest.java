package com.zelt.tests.robustness;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.tests.support.NisplusServer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Eight threads for up to a minute (and a bounded number of rounds) mix
 * every kind of call: open, iterate (sometimes closing mid-way), get-all,
 * add, modify and delete entries, file create/access/copy-stat/delete and
 * launches of /bin/true through both launchers. Each thread owns its keys
 * and keeps a model of them; every row read must be whole (a key with a
 * value written for that key); at the end every table must hold exactly the
 * model: nothing lost, duplicated or garbled, byte for byte.
 */
class MixedStressTest {
    static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();
    static final CmdLauncher CMD = new CmdLauncher();
    static final GuiLauncher GUI = new GuiLauncher();
    static final int THREADS = 8;
    static final int TABLES = 4;
    static final long SECONDS = Long.getLong("zelt.stress.seconds", 60);
    static final int MAX_ROUNDS = 6000;

    @TempDir
    static Path tmp;

    static final AtomicLong OPS = new AtomicLong();
    static final AtomicLong LAUNCHES = new AtomicLong();
    static final AtomicLong ROWS_READ = new AtomicLong();

    static String[] tables = new String[TABLES];
    // table -> key -> value, as the threads that own the keys last wrote them.
    static final Map<String, Map<String, String>> MODEL = new ConcurrentHashMap<>();

    static void setUpTables() {
        String dir = "stress." + NisplusServer.directory();
        // Owned by this JVM's principal (the tests run as root), so that it
        // may change the directory at any security level.
        StringBuilder seed = new StringBuilder("directory " + dir + " owner=\"" + NisplusServer.principal(0)
                + "\" group=\"g.sandbox.test.\" access=0x010f0f01 ttl=3600\n");
        for (int k = 0; k < TABLES; k++) {
            tables[k] = "s" + k + "." + dir;
            seed.append("table ").append(tables[k])
                    .append(" type=\"stress_tbl\" access=0x010f0f01 sep=0x20\ncolumn key flags=8\ncolumn value flags=0\n");
            Map<String, String> m = new ConcurrentHashMap<>();
            // Rows nobody owns: they must survive untouched.
            for (int i = 0; i < 10; i++) {
                String key = "seed" + i;
                String value = key + ":0 \u00e9\u2713";
                seed.append("entry ").append(tables[k]).append(' ').append(NisplusServer.quoteWithNul(key))
                        .append(' ').append(NisplusServer.quoteWithNul(value)).append('\n');
                m.put(key, value);
            }
            MODEL.put(tables[k], m);
        }
        NisplusServer.load(seed.toString());
    }

    /** A row is whole when its value was written for its key. */
    static void checkRow(String[] row, int offset) {
        String key = row[offset];
        String value = row[offset + 1];
        assertNotNull(key);
        assertNotNull(value);
        assertTrue(value.startsWith(key + ":") && value.endsWith(" \u00e9\u2713"),
                "garbled row: " + key + " / " + value);
    }

    static final class Worker {
        final int id;
        final Random random;
        final Path dir;
        // table -> owned key -> current value
        final Map<String, Map<String, String>> mine = new HashMap<>();
        int next;
        int version;

        Worker(int id) throws Exception {
            this.id = id;
            this.random = new Random(1000 + id);
            this.dir = Files.createDirectories(tmp.resolve("w" + id));
            for (String t : tables) {
                mine.put(t, new TreeMap<>());
            }
        }

        String value(String key) {
            return key + ":" + (++version) + " \u00e9\u2713";
        }

        int open(String t) {
            int h = LIB.nisplusOpenTable(t, "stress_tbl");
            assertTrue(h >= 0 && h < 32, "open: " + h);
            return h;
        }

        void round() {
            String t = tables[random.nextInt(TABLES)];
            Map<String, String> owned = mine.get(t);
            int op = random.nextInt(100);
            if (op < 20) {
                // Iterate, sometimes stopping early and closing mid-iteration.
                int h = open(t);
                int stop = random.nextInt(40);
                int n = 0;
                for (String[] r = LIB.nisplusGetFirstEntry(h, ""); r != null && n < stop;
                        r = LIB.nisplusGetNextEntry(h)) {
                    assertEquals(2, r.length);
                    checkRow(r, 0);
                    n++;
                }
                ROWS_READ.addAndGet(n);
                LIB.nisplusCloseTable(h);
            } else if (op < 35) {
                int h = open(t);
                String[] all = LIB.nisplusGetAllEntries(h, "");
                assertNotNull(all, "get-all on a table that always has rows");
                assertEquals(0, all.length % 2);
                for (int i = 0; i < all.length; i += 2) {
                    checkRow(all, i);
                }
                ROWS_READ.addAndGet(all.length / 2);
                // My own keys are all there with my last values.
                Map<String, String> seen = new HashMap<>();
                for (int i = 0; i < all.length; i += 2) {
                    assertEquals(null, seen.put(all[i], all[i + 1]), "duplicate key " + all[i]);
                }
                for (Map.Entry<String, String> e : owned.entrySet()) {
                    assertEquals(e.getValue(), seen.get(e.getKey()), "my row " + e.getKey());
                }
                LIB.nisplusCloseTable(h);
            } else if (op < 55 || owned.isEmpty()) {
                int h = open(t);
                String key = "w" + id + "-" + (next++) + (random.nextBoolean() ? "-\u00fc" : "");
                String v = value(key);
                assertEquals(0, LIB.nisplusAddEntry(h, new String[] {key, v}), "add " + key);
                owned.put(key, v);
                LIB.nisplusCloseTable(h);
            } else if (op < 70) {
                int h = open(t);
                String key = pick(owned);
                String v = value(key);
                int column = random.nextBoolean() ? -1 : 2;
                assertEquals(0, LIB.nisplusModifyEntry(h, "[key=" + key + "],", column, new String[] {key, v}),
                        "modify " + key);
                owned.put(key, v);
                // A key-only lookup gives the new value at once.
                String[] r = LIB.nisplusGetFirstEntry(h, "[key=" + key + "],");
                assertEquals(List.of(key, v), r == null ? null : List.of(r));
                LIB.nisplusCloseTable(h);
            } else if (op < 80) {
                int h = open(t);
                String key = pick(owned);
                assertEquals(0, LIB.nisplusDeleteEntry(h, "[key=" + key + "],"), "delete " + key);
                owned.remove(key);
                LIB.nisplusCloseTable(h);
            } else if (op < 95) {
                files();
            } else {
                launch();
            }
            OPS.incrementAndGet();
        }

        String pick(Map<String, String> owned) {
            List<String> keys = new ArrayList<>(owned.keySet());
            return keys.get(random.nextInt(keys.size()));
        }

        void files() {
            String f = dir.resolve("f" + (next++) + "-\u00e9").toString();
            String g = dir.resolve("g").toString();
            int mode = 0600 | random.nextInt(0100);
            assertEquals(0, LIB.fileCreate(f, 0, 0, mode), "create " + f);
            assertEquals(0, LIB.fileAccess(f, 0));
            if (!Files.exists(Path.of(g))) {
                assertEquals(0, LIB.fileCreate(g, 0, 0, 0644));
            }
            assertEquals(0, LIB.fileCopyStat(f, g));
            assertEquals(0, LIB.fileDelete(f));
            assertEquals(2, LIB.fileAccess(f, 0), "ENOENT after delete");
        }

        void launch() {
            int r = random.nextBoolean()
                    ? CMD.launchapp(1, 0, 0, 0, 0, new String[] {"/bin/true", "w" + id}, new String[] {"A=1"})
                    : GUI.launchapp(1, 0, 0, 0, 0, "/bin/true", new String[] {"A=1"}, new String[] {"w" + id});
            assertEquals(0, r, "launch");
            LAUNCHES.incrementAndGet();
        }
    }

    @Test
    void eightThreadsMixingEveryCallLoseNothing() throws Exception {
        setUpTables();
        List<Worker> workers = new ArrayList<>();
        for (int i = 0; i < THREADS; i++) {
            workers.add(new Worker(i));
        }
        CyclicBarrier start = new CyclicBarrier(THREADS);
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(SECONDS);
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<Integer>> results = new ArrayList<>();
        for (Worker w : workers) {
            results.add(pool.submit(() -> {
                start.await();
                int rounds = 0;
                while (rounds < MAX_ROUNDS && System.nanoTime() < deadline) {
                    w.round();
                    rounds++;
                }
                return rounds;
            }));
        }
        pool.shutdown();
        int rounds = 0;
        for (Future<Integer> f : results) {
            rounds += f.get(SECONDS + 300, TimeUnit.SECONDS);
        }
        assertTrue(pool.awaitTermination(10, TimeUnit.SECONDS));

        // The model: seeded rows plus every worker's own rows.
        for (Worker w : workers) {
            for (String t : tables) {
                MODEL.get(t).putAll(w.mine.get(t));
            }
        }
        long rows = 0;
        for (String t : tables) {
            Map<String, String> expected = new TreeMap<>(MODEL.get(t));
            int h = LIB.nisplusOpenTable(t, "stress_tbl");
            assertTrue(h >= 0);
            String[] all = LIB.nisplusGetAllEntries(h, "");
            LIB.nisplusCloseTable(h);
            Map<String, String> actual = new TreeMap<>();
            for (int i = 0; i < all.length; i += 2) {
                assertEquals(null, actual.put(all[i], all[i + 1]), "duplicated " + all[i]);
            }
            assertEquals(expected, actual, "table " + t);
            // On the server: two values per entry, each its UTF-8 bytes and one NUL.
            List<NisplusServer.Entry> entries = NisplusServer.entries(t);
            assertEquals(expected.size(), entries.size());
            for (NisplusServer.Entry e : entries) {
                assertEquals("stress_tbl", e.type());
                assertEquals(2, e.values().size());
                String key = e.texts().get(0);
                assertEquals(expected.get(key), e.texts().get(1), key);
                byte[] k = e.values().get(0).bytes();
                assertTrue(Arrays.equals(Arrays.copyOf(key.getBytes(StandardCharsets.UTF_8), k.length), k)
                        && k[k.length - 1] == 0, "stored key bytes " + e.values().get(0));
            }
            rows += entries.size();
        }
        // Every session was closed.
        for (int h = 0; h < 32; h++) {
            assertEquals(null, LIB.nisplusGetNextEntry(h));
        }
        System.out.println("stress: " + THREADS + " threads, " + rounds + " rounds (" + OPS.get()
                + " operations, " + LAUNCHES.get() + " launches, " + ROWS_READ.get() + " rows read), "
                + rows + " rows checked against the model");
        assertTrue(rounds >= THREADS * 50, "rounds: " + rounds);
    }
}

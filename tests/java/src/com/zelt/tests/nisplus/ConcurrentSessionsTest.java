package com.zelt.tests.nisplus;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/**
 * Eight Java threads share the registry and three tables: open, iterate,
 * list, close (sometimes mid-iteration). Every row must belong to the
 * thread's own table and come in order, and no handle may be held by two
 * threads at once.
 */
class ConcurrentSessionsTest extends BridgeTestBase {
    private static final int THREADS = 8;
    private static final int ROUNDS = 120;
    private static final int ROWS = 25;

    @Test
    void eightThreadsShareTheRegistryWithoutCorruption() throws Exception {
        String[] tables = new String[3];
        for (int k = 0; k < tables.length; k++) {
            String[][] rows = new String[ROWS][];
            for (int j = 0; j < ROWS; j++) {
                rows[j] = new String[] {"t" + k + "r" + j, "table" + k, Integer.toString(j)};
            }
            tables[k] = tableWith("conc", "c_tbl", new String[] {"*key", "table", "row"}, rows);
        }
        Map<Integer, Long> holders = new ConcurrentHashMap<>();
        CyclicBarrier start = new CyclicBarrier(THREADS);
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<Integer>> results = new ArrayList<>();
        for (int n = 0; n < THREADS; n++) {
            final int worker = n;
            results.add(pool.submit(() -> {
                Random random = new Random(worker);
                start.await();
                int rowsSeen = 0;
                for (int round = 0; round < ROUNDS; round++) {
                    int k = random.nextInt(tables.length);
                    // Each worker holds at most two sessions: the registry never fills.
                    int a = LIB.nisplusOpenTable(tables[k], "c_tbl");
                    int b = LIB.nisplusOpenTable(tables[(k + 1) % 3], "c_tbl");
                    for (int h : new int[] {a, b}) {
                        assertTrue(h >= 0 && h < MAX_SESSIONS, "handle " + h);
                        Long other = holders.putIfAbsent(h, Thread.currentThread().getId());
                        assertEquals(null, other, "handle " + h + " handed out twice");
                    }
                    int stop = random.nextInt(ROWS + 2);
                    int j = 0;
                    for (String[] r = LIB.nisplusGetFirstEntry(a, ""); r != null && j < stop;
                            r = LIB.nisplusGetNextEntry(a)) {
                        assertEquals(List.of("t" + k + "r" + j, "table" + k, Integer.toString(j)), List.of(r));
                        j++;
                        rowsSeen++;
                        if (j % 7 == 0) {
                            checkAll(b, (k + 1) % 3);
                        }
                    }
                    if (round % 5 == 0) {
                        checkAll(a, k);
                    }
                    holders.remove(a);
                    holders.remove(b);
                    // Often closed mid-iteration.
                    LIB.nisplusCloseTable(a);
                    LIB.nisplusCloseTable(b);
                }
                return rowsSeen;
            }));
        }
        pool.shutdown();
        assertTrue(pool.awaitTermination(600, TimeUnit.SECONDS), "workers finished");
        int total = 0;
        for (Future<Integer> f : results) {
            total += f.get();
        }
        assertTrue(total > THREADS * ROUNDS, "rows seen " + total);
        // The registry is whole afterwards: all 32 slots come out in order.
        for (int i = 0; i < MAX_SESSIONS; i++) {
            assertEquals(i, LIB.nisplusOpenTable(tables[0], "c_tbl"));
        }
        assertEquals(-NIS_NOMEMORY, LIB.nisplusOpenTable(tables[0], "c_tbl"));
    }

    @Test
    void closingAndReopeningUnderIteratingThreadsNeverCorrupts() throws Exception {
        String[][] rows = new String[60][];
        for (int j = 0; j < rows.length; j++) {
            rows[j] = new String[] {"r" + j, "v" + j};
        }
        String t = tableWith("churn", "ch_tbl", new String[] {"*key", "value"}, rows);
        int h = LIB.nisplusOpenTable(t, "ch_tbl");
        assertEquals(0, h);
        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<Integer>> results = new ArrayList<>();
        // Six threads walk and list whatever session handle 0 holds (another
        // table's or none at all): every row they get must be a whole row.
        for (int n = 0; n < 6; n++) {
            results.add(pool.submit(() -> {
                int seen = 0;
                for (int round = 0; round < 300; round++) {
                    for (String[] r = LIB.nisplusGetFirstEntry(h, ""); r != null; r = LIB.nisplusGetNextEntry(h)) {
                        checkRow(r);
                        seen++;
                    }
                    if (round % 10 == 0) {
                        String[] all = LIB.nisplusGetAllEntries(h, "");
                        if (all != null) {
                            assertEquals(rows.length * 2, all.length);
                            checkRow(new String[] {all[2 * 7], all[2 * 7 + 1]});
                        }
                    }
                }
                return seen;
            }));
        }
        // Two threads keep closing handle 0 under them and opening again.
        for (int n = 0; n < 2; n++) {
            results.add(pool.submit(() -> {
                for (int round = 0; round < 400; round++) {
                    LIB.nisplusCloseTable(h);
                    int again = LIB.nisplusOpenTable(t, "ch_tbl");
                    assertTrue(again >= 0 && again < 3, "handle " + again);
                    if (again != h) {
                        LIB.nisplusCloseTable(again);
                    }
                }
                return 0;
            }));
        }
        pool.shutdown();
        assertTrue(pool.awaitTermination(600, TimeUnit.SECONDS), "workers finished");
        for (Future<Integer> f : results) {
            f.get();
        }
        for (int i = 0; i < MAX_SESSIONS; i++) {
            LIB.nisplusCloseTable(i);
        }
        for (int i = 0; i < MAX_SESSIONS; i++) {
            assertEquals(i, LIB.nisplusOpenTable(t, "ch_tbl"));
        }
    }

    private static void checkRow(String[] r) {
        assertEquals(2, r.length);
        assertTrue(r[0].startsWith("r") && r[1].equals("v" + r[0].substring(1)), List.of(r).toString());
    }

    private static void checkAll(int handle, int k) {
        String[] all = LIB.nisplusGetAllEntries(handle, "");
        assertEquals(ROWS * 3, all.length);
        for (int j = 0; j < ROWS; j++) {
            assertEquals("t" + k + "r" + j, all[j * 3]);
            assertEquals("table" + k, all[j * 3 + 1]);
        }
    }
}

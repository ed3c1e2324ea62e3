package com.zelt.tests.robustness;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;
import com.zelt.tests.support.NisplusServer;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.function.BiConsumer;
import java.util.function.Predicate;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Every native method of the three libraries, found by reflection on the Java
 * declarations, called with hostile arguments one argument at a time (and
 * once with every reference null): null, out-of-range handles and numbers,
 * empty and 100,000-character strings, U+0000, lone surrogates, characters
 * outside the BMP, arrays of 0, 1, 1,024 and 100,000 elements and arrays
 * holding such strings. Each call must return its family's failure value or
 * a well-formed result, must not throw, and (through the harness) must keep
 * -Xcheck:jni silent. The seeded NIS+ tables must come out byte for byte
 * unchanged, and the libraries must still work afterwards.
 *
 * <p>Launches that succeed run /bin/true; path arguments always point into a
 * private temporary directory; table updates go to a scratch table.
 */
class BadInputTest {
    static final DirectoryTableLibrary LIB = new DirectoryTableLibrary();
    static final CmdLauncher CMD = new CmdLauncher();
    static final GuiLauncher GUI = new GuiLauncher();

    static final String BIG = "x".repeat(100_000);
    static final List<String> STRINGS = Arrays.asList(null, "", BIG, "a\u0000b", "\u0000", "\uD800",
            "z\uDC00z", "end\uDBFF", "\uD83D\uDE00\uD834\uDD1E", "caf\u00e9 \u4e2d");
    static final List<Object> INTS = List.of(-1, 32, Integer.MIN_VALUE, Integer.MAX_VALUE, 0, 1);
    // Handles: never 0-31, so no call can reach a seeded table's session.
    static final List<Object> HANDLES = List.of(-1, 32, Integer.MIN_VALUE, Integer.MAX_VALUE, 64);
    static final List<Object> BYTES = List.of((byte) 0, (byte) -1, Byte.MIN_VALUE, (byte) ' ');

    // Stands for a new table name in each add-table call, so a call that
    // succeeds creates (and then removes) a table of its own.
    static final String FRESH_TABLE = new String("fresh table");

    @TempDir
    static Path tmp;

    static String robustDir;
    static String small;
    static String scratch;
    static int smallHandle;
    static int scratchHandle;
    static String seedBefore;
    static long calls;
    static long refusalsChecked;
    static int tableSerial;

    @BeforeAll
    static void setUp() {
        robustDir = "robust." + NisplusServer.directory();
        small = "small.org_dir." + NisplusServer.directory();
        scratch = "scratch." + robustDir;
        // Owned by this JVM's principal (the tests run as root), so that it
        // may change the directory at any security level.
        NisplusServer.load("directory " + robustDir + " owner=\"" + NisplusServer.principal(0)
                + "\" group=\"g.sandbox.test.\" access=0x010f0f01 ttl=3600\n"
                + "table " + scratch + " type=\"scratch_tbl\" access=0x010f0f01 sep=0x20\n"
                + "column key flags=8\ncolumn value flags=0\n");
        seedBefore = NisplusServer.dump("org_dir." + NisplusServer.directory());
        smallHandle = LIB.nisplusOpenTable(small, "small_tbl");
        scratchHandle = LIB.nisplusOpenTable(scratch, "scratch_tbl");
        assertTrue(smallHandle >= 0 && scratchHandle >= 0, smallHandle + " " + scratchHandle);
    }

    @AfterAll
    static void tearDown() {
        for (int h = 0; h < 32; h++) {
            LIB.nisplusCloseTable(h);
        }
    }

    // ---- what each method gets and what it may answer ----

    /**
     * How one native method is driven: a harmless baseline call; the indexes of
     * parameters that are paths (kept inside the temporary directory) or table
     * handles; the check of a result.
     */
    record Case(Object[] baseline, Set<Integer> paths, Set<Integer> handles,
            BiConsumer<Object[], Object> check) {}

    static final Map<String, Case> CASES = new HashMap<>();

    static Case caseOf(Object[] baseline, Set<Integer> paths, Set<Integer> handles,
            BiConsumer<Object[], Object> check) {
        return new Case(baseline, paths, handles, check);
    }

    static void register() {
        if (!CASES.isEmpty()) {
            return;
        }
        refusals();
        Set<Integer> none = Set.of();
        String f = tmp.resolve("file").toString();
        String g = tmp.resolve("other").toString();
        CASES.put("nisplusOpenTable", caseOf(new Object[] {small, "small_tbl"}, none, none,
                (a, r) -> handleOrNegative((Integer) r)));
        // Closing a hostile handle must leave the test's own sessions open.
        CASES.put("nisplusCloseTable", caseOf(new Object[] {-1}, none, Set.of(0),
                (a, r) -> assertArrayEquals(new String[] {"two", "second"},
                        LIB.nisplusGetFirstEntry(smallHandle, "[key=two],"), "close " + a[0])));
        CASES.put("nisplusGetErrorString", caseOf(new Object[] {2}, none, none, (a, r) -> assertNotNull(r)));
        CASES.put("nisplusAddTable", caseOf(new Object[] {FRESH_TABLE, "robust_tbl", 0x010f0f01,
                new String[] {"Skey", "Xvalue"}, (byte) ' '}, none, none,
                (a, r) -> handleOrNegative((Integer) r)));
        CASES.put("nisplusDeleteTable", caseOf(new Object[] {"missing." + robustDir}, none, none,
                (a, r) -> assertTrue((Integer) r <= 0, "delete-table " + r)));
        CASES.put("nisplusAccess", caseOf(new Object[] {small, 1}, none, none,
                (a, r) -> assertTrue((Integer) r == 0 || (Integer) r == -1, "access " + r)));
        CASES.put("nisplusGetFirstEntry", caseOf(new Object[] {smallHandle, ""}, none, Set.of(0),
                (a, r) -> row((String[]) r, 2)));
        CASES.put("nisplusGetNextEntry", caseOf(new Object[] {smallHandle}, none, Set.of(0),
                (a, r) -> row((String[]) r, 2)));
        CASES.put("nisplusGetAllEntries", caseOf(new Object[] {smallHandle, ""}, none, Set.of(0),
                (a, r) -> {
                    row((String[]) r, 2);
                    if (r != null && "".equals(a[1]) && (Integer) a[0] == smallHandle) {
                        assertArrayEquals(new String[] {"one", "first", "two", "second", "three", "third"},
                                (String[]) r);
                    }
                }));
        CASES.put("nisplusAddEntry", caseOf(new Object[] {scratchHandle, new String[] {"k", "v"}}, none,
                Set.of(0), (a, r) -> rawStatus((Integer) r)));
        CASES.put("nisplusModifyEntry", caseOf(new Object[] {scratchHandle, "[key=k],", -1,
                new String[] {"k", "w"}}, none, Set.of(0), (a, r) -> rawStatus((Integer) r)));
        CASES.put("nisplusDeleteEntry", caseOf(new Object[] {scratchHandle, "[key=absent],"}, none,
                Set.of(0), (a, r) -> rawStatus((Integer) r)));
        CASES.put("fileAccess", caseOf(new Object[] {f, 0}, Set.of(0), none, (a, r) -> errno(a, r)));
        CASES.put("fileCreate", caseOf(new Object[] {f, 0, 0, 0644}, Set.of(0), none, (a, r) -> errno(a, r)));
        CASES.put("fileDelete", caseOf(new Object[] {f}, Set.of(0), none, (a, r) -> errno(a, r)));
        CASES.put("fileCopyStat", caseOf(new Object[] {f, g}, Set.of(0, 1), none, (a, r) -> errno(a, r)));
        CASES.put("addressCompare", caseOf(new Object[] {"10.0.0.1", "10"}, none, none,
                (a, r) -> assertTrue(Set.of(-1, 0, 1).contains(r), "addressCompare " + r)));
        CASES.put("getDomain", caseOf(new Object[] {}, none, none, (a, r) -> assertNotNull(r)));
        CASES.put("nisGetMaster", caseOf(new Object[] {System.getenv("SANDBOX_DOMAIN"), "hosts.byname"}, none,
                none, (a, r) -> assertNotNull(r)));
        CASES.put("CmdLauncher.launchapp", caseOf(new Object[] {1, 0, 0, 0, 0, new String[] {"/bin/true"}, null},
                none, none, (a, r) -> {
                    launchResult(r);
                    if ((Integer) a[0] == 0 || a[5] == null) {
                        assertEquals(-1, r, "a refused launch");
                    }
                }));
        CASES.put("GuiLauncher.launchapp", caseOf(new Object[] {1, 0, 0, 0, 0, "/bin/true", null, null},
                none, none, (a, r) -> {
                    launchResult(r);
                    if ((Integer) a[0] == 0 || a[5] == null) {
                        assertEquals(-1, r, "a refused launch");
                    }
                }));
    }

    /**
     * Arguments a method must refuse with its failure value: a null reference
     * (wholeNull), an array holding a null element (elementNull), or a string
     * or array element holding U+0000, which no C string can carry (nul).
     */
    record Refusal(Set<Integer> wholeNull, Set<Integer> elementNull, Set<Integer> nul,
            Predicate<Object> failed) {
        boolean applies(Object[] args) {
            for (int i = 0; i < args.length; i++) {
                Object o = args[i];
                if (o == null && wholeNull.contains(i)) {
                    return true;
                }
                if (o instanceof String s && nul.contains(i) && s.indexOf('\0') >= 0) {
                    return true;
                }
                if (o instanceof String[] a) {
                    for (String e : a) {
                        if ((e == null && elementNull.contains(i)) || (e != null && nul.contains(i)
                                && e.indexOf('\0') >= 0)) {
                            return true;
                        }
                    }
                }
            }
            return false;
        }
    }

    static final Map<String, Refusal> REFUSALS = new HashMap<>();

    static void refusals() {
        Predicate<Object> negative = r -> (Integer) r < 0;
        Predicate<Object> minusOne = r -> (Integer) r == -1;
        Predicate<Object> positive = r -> (Integer) r > 0;
        Predicate<Object> isNull = r -> r == null;
        Predicate<Object> empty = r -> "".equals(r);
        Set<Integer> none = Set.of();
        REFUSALS.put("nisplusOpenTable", new Refusal(Set.of(0, 1), none, Set.of(0, 1), negative));
        REFUSALS.put("nisplusAddTable", new Refusal(Set.of(0, 1, 3), Set.of(3), Set.of(0, 1, 3), negative));
        REFUSALS.put("nisplusDeleteTable", new Refusal(Set.of(0), none, Set.of(0), negative));
        REFUSALS.put("nisplusAccess", new Refusal(Set.of(0), none, Set.of(0), minusOne));
        REFUSALS.put("nisplusGetFirstEntry", new Refusal(Set.of(1), none, Set.of(1), isNull));
        REFUSALS.put("nisplusGetAllEntries", new Refusal(Set.of(1), none, Set.of(1), isNull));
        REFUSALS.put("nisplusAddEntry", new Refusal(Set.of(1), Set.of(1), Set.of(1), positive));
        REFUSALS.put("nisplusModifyEntry", new Refusal(Set.of(1, 3), Set.of(3), Set.of(1, 3), positive));
        REFUSALS.put("nisplusDeleteEntry", new Refusal(Set.of(1), none, Set.of(1), positive));
        REFUSALS.put("fileAccess", new Refusal(Set.of(0), none, Set.of(0), positive));
        REFUSALS.put("fileCreate", new Refusal(Set.of(0), none, Set.of(0), positive));
        REFUSALS.put("fileDelete", new Refusal(Set.of(0), none, Set.of(0), positive));
        REFUSALS.put("fileCopyStat", new Refusal(Set.of(0, 1), none, Set.of(0, 1), positive));
        REFUSALS.put("nisGetMaster", new Refusal(Set.of(0, 1), none, Set.of(0, 1), empty));
        // Launchers skip null elements, but refuse a missing program and any
        // string the program could not receive whole.
        REFUSALS.put("CmdLauncher.launchapp", new Refusal(Set.of(5), none, Set.of(5, 6), minusOne));
        REFUSALS.put("GuiLauncher.launchapp", new Refusal(Set.of(5), none, Set.of(5, 6, 7), minusOne));
    }

    static void handleOrNegative(int r) {
        assertTrue(r < 32, "handle out of range: " + r);
    }

    static void rawStatus(int r) {
        assertTrue(r >= 0, "entry updates return a raw status, got " + r);
    }

    static void errno(Object[] a, Object r) {
        int e = (Integer) r;
        assertTrue(e >= 0 && e < 4096, "errno " + e);
        for (Object o : a) {
            if (o == null) {
                assertTrue(e != 0, "a null path cannot succeed");
            }
        }
    }

    static void launchResult(Object r) {
        assertTrue((Integer) r == 0 || (Integer) r == -1, "launch " + r);
    }

    static void row(String[] r, int columns) {
        if (r == null) {
            return;
        }
        assertTrue(r.length % columns == 0, "row length " + r.length);
        for (String s : r) {
            assertNotNull(s, "null element in " + Arrays.toString(r));
        }
    }

    // ---- hostile values ----

    static String[] sized(int n, String first, String filler) {
        String[] a = new String[n];
        Arrays.fill(a, filler);
        if (n > 0) {
            a[0] = first;
        }
        return a;
    }

    /** Arrays for a parameter whose harmless value is baseline. */
    static List<Object> arrays(String[] baseline) {
        String first = baseline != null && baseline.length > 0 ? baseline[0] : "x";
        String filler = baseline != null && baseline.length > 1 ? baseline[baseline.length - 1] : first;
        List<Object> out = new ArrayList<>();
        out.add(null);
        out.add(new String[0]);
        out.add(sized(1, first, filler));
        out.add(sized(1024, first, filler));
        out.add(sized(100_000, first, filler));
        out.add(new String[100_000]);
        out.add(new String[] {null});
        out.add(new String[] {first, null, filler});
        for (String s : STRINGS) {
            if (s != null) {
                out.add(new String[] {first, s});
                out.add(new String[] {s, filler});
                out.add(new String[] {s});
            }
        }
        return out;
    }

    static List<Object> stringsFor(boolean path) {
        List<Object> out = new ArrayList<>();
        for (String s : STRINGS) {
            out.add(path && s != null ? tmp.resolve("w").toString() + s : s);
        }
        if (path) {
            out.add("");  // names nothing: harmless even outside the directory
        }
        return out;
    }

    static List<Object> valuesFor(Class<?> type, Case theCase, int index, Object baseline) {
        if (type == int.class) {
            return theCase.handles().contains(index) ? HANDLES : INTS;
        }
        if (type == byte.class) {
            return BYTES;
        }
        if (type == String.class) {
            return stringsFor(theCase.paths().contains(index));
        }
        if (type == String[].class) {
            return arrays((String[]) baseline);
        }
        throw new AssertionError("no hostile values for " + type);
    }

    // ---- driving ----

    static Object invoke(Object target, Method m, Object[] args) {
        calls++;
        try {
            return m.invoke(target, args);
        } catch (InvocationTargetException e) {
            fail(m.getName() + Arrays.deepToString(shorten(args)) + " threw " + e.getCause(), e.getCause());
        } catch (IllegalAccessException e) {
            throw new AssertionError(e);
        }
        return null;
    }

    static Object[] shorten(Object[] args) {
        Object[] out = new Object[args.length];
        for (int i = 0; i < args.length; i++) {
            Object o = args[i];
            if (o instanceof String s && s.length() > 40) {
                out[i] = s.substring(0, 10) + "...(" + s.length() + ")";
            } else if (o instanceof String[] a && a.length > 4) {
                out[i] = "String[" + a.length + "]";
            } else {
                out[i] = o;
            }
        }
        return out;
    }

    /** Undoes what a call that succeeded left behind: sessions, tables, files. */
    static void cleanUp(String key, Object[] args, Object result) {
        if (key.equals("nisplusOpenTable") && (Integer) result >= 0) {
            LIB.nisplusCloseTable((Integer) result);
        }
        if (key.equals("nisplusAddTable") && (Integer) result >= 0) {
            LIB.nisplusCloseTable((Integer) result);
            assertEquals(0, LIB.nisplusDeleteTable((String) args[0]), "removing " + args[0]);
        }
    }

    static void drive(Object target, Method m, String key) {
        Case theCase = CASES.get(key);
        assertNotNull(theCase, "no hostile-input plan for native method " + key);
        Class<?>[] types = m.getParameterTypes();
        assertEquals(types.length, theCase.baseline().length, key + " baseline");
        List<Object[]> plans = new ArrayList<>();
        plans.add(theCase.baseline().clone());
        for (int i = 0; i < types.length; i++) {
            for (Object v : valuesFor(types[i], theCase, i, theCase.baseline()[i])) {
                Object[] args = theCase.baseline().clone();
                args[i] = v;
                plans.add(args);
            }
        }
        // Hostile values in every argument at once, along two diagonals of
        // the value lists, so unusual pairs meet too.
        List<List<Object>> lists = new ArrayList<>();
        int longest = 0;
        for (int i = 0; i < types.length; i++) {
            lists.add(valuesFor(types[i], theCase, i, theCase.baseline()[i]));
            longest = Math.max(longest, lists.get(i).size());
        }
        for (int stride : new int[] {1, 7}) {
            for (int k = 0; k < longest; k++) {
                Object[] args = new Object[types.length];
                for (int i = 0; i < types.length; i++) {
                    List<Object> l = lists.get(i);
                    args[i] = l.get((k * stride + i) % l.size());
                }
                plans.add(args);
            }
        }
        Object[] allNull = theCase.baseline().clone();
        for (int i = 0; i < types.length; i++) {
            if (!types[i].isPrimitive()) {
                allNull[i] = null;
            }
        }
        plans.add(allNull);
        for (Object[] args : plans) {
            for (int i = 0; i < args.length; i++) {
                if (args[i] == FRESH_TABLE) {
                    args[i] = "t" + (++tableSerial) + "." + robustDir;
                }
            }
            Object result = invoke(target, m, args);
            theCase.check().accept(args, result);
            Refusal refusal = REFUSALS.get(key);
            if (refusal != null && refusal.applies(args)) {
                refusalsChecked++;
                assertTrue(refusal.failed().test(result), key + Arrays.deepToString(shorten(args))
                        + " must fail, gave " + (result instanceof Object[] a ? Arrays.toString(a) : result));
            }
            cleanUp(key, args, result);
        }
    }

    static List<Method> natives(Class<?> c) {
        List<Method> out = new ArrayList<>();
        for (Method m : c.getDeclaredMethods()) {
            if (Modifier.isNative(m.getModifiers())) {
                out.add(m);
            }
        }
        out.sort((x, y) -> x.getName().compareTo(y.getName()));
        return out;
    }

    // ---- the tests ----

    private static boolean drivenOnce;
    private static long createdInTmp;

    /** The hostile run, once per JVM, whichever test needs it first. */
    static synchronized void everyNativeMethodSurvivesHostileArgumentsOnce() {
        try {
            driveAll();
        } catch (IOException e) {
            throw new AssertionError(e);
        }
    }

    static void driveAll() throws IOException {
        if (drivenOnce) {
            return;
        }
        drivenOnce = true;
        register();
        Set<String> driven = new TreeSet<>();
        for (Method m : natives(DirectoryTableLibrary.class)) {
            drive(LIB, m, m.getName());
            driven.add(m.getName());
            if (m.getName().equals("fileCreate")) {
                // The path arguments reached the system inside the temporary
                // directory: the creates that could succeed made their files
                // there (the deletes that follow remove them again).
                try (var list = Files.list(tmp)) {
                    createdInTmp = list.count();
                }
            }
        }
        for (Method m : natives(CmdLauncher.class)) {
            drive(CMD, m, "CmdLauncher." + m.getName());
            driven.add("CmdLauncher." + m.getName());
        }
        for (Method m : natives(GuiLauncher.class)) {
            drive(GUI, m, "GuiLauncher." + m.getName());
            driven.add("GuiLauncher." + m.getName());
        }
        // Every plan was used: the Java declarations and the plans agree.
        assertEquals(new TreeSet<>(CASES.keySet()), driven);
        assertEquals(21, driven.size(), "native methods driven");
        System.out.println("robustness: " + calls + " hostile calls to " + driven.size()
                + " native methods, " + refusalsChecked + " of them refusals checked");
        assertTrue(refusalsChecked > 200, "refusals checked: " + refusalsChecked);
        assertTrue(calls > 1000, "calls tried: " + calls);

        // The seeded tables are exactly as before; nothing outside the scratch
        // table and the temporary directory changed.
        assertEquals(seedBefore, NisplusServer.dump("org_dir." + NisplusServer.directory()));
    }

    @Test
    void everyNativeMethodSurvivesHostileArguments() {
        everyNativeMethodSurvivesHostileArgumentsOnce();
        assertTrue(createdInTmp >= 5, "files made by hostile creates: " + createdInTmp);
    }

    @Test
    void librariesStillWorkAfterHostileCalls() {
        everyNativeMethodSurvivesHostileArgumentsOnce();
        // Hammer the three calls most exposed to conversion bugs first.
        for (int i = 0; i < 200; i++) {
            for (String s : STRINGS) {
                assertEquals(0, LIB.addressCompare(s, s), "addressCompare of the same text");
                int access = LIB.fileAccess(s == null ? null : tmp.resolve("w").toString() + s, 0);
                String[] row = LIB.nisplusGetFirstEntry(smallHandle, s);
                if (s == null || s.indexOf('\0') >= 0) {
                    assertTrue(access > 0, "fileAccess refused " + access);
                    assertNull(row);
                } else {
                    assertTrue(access >= 0, "fileAccess " + access);
                    row(row, 2);
                }
                if ("".equals(s)) {
                    assertArrayEquals(new String[] {"one", "first"}, row);
                }
            }
        }
        int h = LIB.nisplusOpenTable(small, "small_tbl");
        assertTrue(h >= 0, "open after hostile calls: " + h);
        assertArrayEquals(new String[] {"one", "first", "two", "second", "three", "third"},
                LIB.nisplusGetAllEntries(h, ""));
        assertArrayEquals(new String[] {"two", "second"}, LIB.nisplusGetFirstEntry(h, "[key=two],"));
        assertNull(LIB.nisplusGetNextEntry(h));
        LIB.nisplusCloseTable(h);
        assertEquals("Not found", LIB.nisplusGetErrorString(2));
        assertEquals(-1, LIB.addressCompare("10", "10.0.0.1"));
        String f = tmp.resolve("after").toString();
        assertEquals(0, LIB.fileCreate(f, 0, 0, 0600));
        assertEquals(0, LIB.fileAccess(f, 0));
        assertEquals(0, LIB.fileDelete(f));
        assertEquals(2, LIB.fileAccess(f, 0));
        assertEquals(0, CMD.launchapp(1, 0, 0, 0, 0, new String[] {"/bin/true"}, null));
        assertEquals(0, GUI.launchapp(1, 0, 0, 0, 0, "/bin/true", null, null));
    }

    @Test
    void scratchTableHoldsOnlyWhatWasAdded() {
        register();
        everyNativeMethodSurvivesHostileArgumentsOnce();
        // Whatever the hostile updates did, every entry of the scratch table has
        // the table's two columns, its type, and values this test sent, each
        // stored as exactly its standard UTF-8 bytes (written out here, a lone
        // surrogate as EF BF BD) and one NUL.
        Set<String> sent = Set.of("6b", "76", "77", "", "78".repeat(100_000), "636166c3a920e4b8ad",
                "f09f9880f09d849e", "efbfbd", "7aefbfbd7a", "656e64efbfbd");
        List<NisplusServer.Entry> entries = NisplusServer.entries(scratch);
        assertTrue(entries.size() >= 2, "hostile keys were stored too: " + entries.size());
        for (NisplusServer.Entry e : entries) {
            assertEquals(2, e.values().size(), e.toString());
            assertEquals("scratch_tbl", e.type(), e.toString());
            for (NisplusServer.Value v : e.values()) {
                byte[] b = v.bytes();
                assertTrue(b.length > 0 && b[b.length - 1] == 0, "value without its NUL: " + v);
                assertTrue(sent.contains(HexFormat.of().formatHex(b, 0, b.length - 1)), "garbled value " + v);
            }
        }
    }
}

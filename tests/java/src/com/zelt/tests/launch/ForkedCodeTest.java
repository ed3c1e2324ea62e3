package com.zelt.tests.launch;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * What the code that runs in the launchers' children can call, read from the
 * machine code of each launcher. The children share the JVM's memory while
 * its other threads run, so that code must write nothing but its own stack.
 * Starting at the child entry functions (those whose address is handed to
 * platform::child::startSharingMemory), all functions reachable through
 * direct calls and jumps must make no indirect call (every JNI call goes
 * through the JNIEnv function table, so it is indirect) and no call into a
 * shared library other than those allowed below; the system calls are made
 * by the syscall instruction itself. The same holds in a sanitizer build:
 * instrumentation left in the child code would show as calls into the
 * sanitizer runtime, or as accesses to AddressSanitizer's shadow memory.
 */
class ForkedCodeTest {
    /** Library calls the child code may make, each with its reason. */
    private static final Map<String, String> ALLOWED_LIBRARY_CALLS = Map.of(
            "strerrordesc_np", "the text of an error number, looked up in a constant table; "
                    + "writes nothing, takes no lock");

    /** The one indirect call: the clone sequence calling the child's entry. */
    private static final String CLONE = "platform::child::startChild(int (*)(void*), void*, void*, bool)";

    private static final Pattern FUNCTION = Pattern.compile("^[0-9a-f]+ <(.+)>:$");
    private static final Pattern DIRECT = Pattern.compile("\\s(?:call|jmp)\\s+[0-9a-f]+ <([^>]+)>");
    private static final Pattern INDIRECT = Pattern.compile("\\s(?:notrack\\s+)?(?:call|jmp)\\s+\\*");
    /** AddressSanitizer's shadow offset on x86-64: instrumented code reads and writes there. */
    private static final String ASAN_SHADOW = "0x7fff8000";
    private static final Pattern ADDRESS_TAKEN = Pattern.compile("\\slea\\s.*# [0-9a-f]+ <([^>+]+)>$");

    /** Function name to its instruction lines. */
    private static Map<String, List<String>> disassemble(String lib) {
        var r = Processes.run("objdump", "-d", "--no-show-raw-insn", "-C",
                Processes.nativeDir().resolve(lib).toString());
        assertEquals(0, r.exitCode(), r.stderr());
        Map<String, List<String>> functions = new HashMap<>();
        List<String> current = null;
        for (String line : r.stdout().split("\n")) {
            Matcher m = FUNCTION.matcher(line);
            if (m.matches()) {
                current = new ArrayList<>();
                functions.put(m.group(1), current);
            } else if (current != null) {
                current.add(line);
            }
        }
        return functions;
    }

    /**
     * Functions whose address a function that starts a child takes: the child
     * entries. A function's own address does not count: AddressSanitizer
     * records it in the function's stack frame.
     */
    private static Set<String> childEntries(Map<String, List<String>> functions) {
        Set<String> entries = new TreeSet<>();
        for (var e : functions.entrySet()) {
            if (e.getValue().stream().noneMatch(l -> l.contains("<" + CLONE + ">"))) continue;
            for (String line : e.getValue()) {
                Matcher m = ADDRESS_TAKEN.matcher(line);
                if (m.find() && functions.containsKey(m.group(1)) && !m.group(1).equals(e.getKey())) {
                    entries.add(m.group(1));
                }
            }
        }
        return entries;
    }

    @ParameterizedTest
    @ValueSource(strings = {"libCmdLauncher.so.1", "libGuiLauncher.so.1"})
    void childCodeMakesNoJniCallAndNoLibraryCallButTheAllowedOnes(String lib) {
        Map<String, List<String>> functions = disassemble(lib);
        assertTrue(functions.containsKey(CLONE), "no clone sequence in " + lib);
        Set<String> entries = childEntries(functions);
        // The first child's entry and the grandchild's.
        assertEquals(2, entries.size(), "child entries: " + entries);

        Set<String> reached = new TreeSet<>();
        Set<String> libraryCalls = new TreeSet<>();
        List<String> indirect = new ArrayList<>();
        List<String> shadowAccesses = new ArrayList<>();
        boolean makesSystemCalls = false;
        ArrayDeque<String> work = new ArrayDeque<>(entries);
        while (!work.isEmpty()) {
            String f = work.pop();
            if (!reached.add(f)) continue;
            List<String> body = functions.get(f);
            assertTrue(body != null, "call target not found: " + f);
            for (String line : body) {
                if (line.trim().endsWith("syscall")) makesSystemCalls = true;
                if (INDIRECT.matcher(line).find() && !f.equals(CLONE)) indirect.add(f + ": " + line.trim());
                if (line.contains(ASAN_SHADOW)) shadowAccesses.add(f + ": " + line.trim());
                Matcher taken = ADDRESS_TAKEN.matcher(line);
                if (taken.find() && functions.containsKey(taken.group(1))) work.push(taken.group(1));
                Matcher m = DIRECT.matcher(line);
                if (!m.find()) continue;
                String target = m.group(1);
                if (target.endsWith("@plt")) {
                    libraryCalls.add(target.substring(0, target.length() - 4));
                } else if (!target.contains("+0x")) {
                    work.push(target);  // another function (a jump inside f has an offset)
                }
            }
        }
        assertEquals(List.of(), indirect, "indirect calls reachable in a child: " + reached);
        assertEquals(List.of(), shadowAccesses, "sanitizer shadow memory used in a child: " + reached);
        Set<String> unexpected = new TreeSet<>(libraryCalls);
        unexpected.removeAll(ALLOWED_LIBRARY_CALLS.keySet());
        assertEquals(Set.of(), unexpected, "library calls reachable in a child: " + reached);
        assertTrue(reached.contains(CLONE), "the first child starts no grandchild: " + reached);
        assertTrue(makesSystemCalls, "no system call in the child code: " + reached);
    }

    @ParameterizedTest
    @ValueSource(strings = {"libCmdLauncher.so.1", "libGuiLauncher.so.1"})
    void theCheckSeesJniCallsWhereTheyAre(String lib) {
        // The reading of the Java arguments does call through the JNIEnv
        // table: the pattern above finds such calls when they are there.
        Map<String, List<String>> functions = disassemble(lib);
        boolean jniCallsFound = functions.entrySet().stream()
                .filter(e -> e.getKey().startsWith("launch::java::"))
                .anyMatch(e -> e.getValue().stream().anyMatch(l -> INDIRECT.matcher(l).find()));
        assertTrue(jniCallsFound, "no indirect call found in the JNI reading code");
    }
}

package com.zelt.tests.launch;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
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
 * What the code that runs in the forked copies of the JVM can call, read from
 * the machine code of each launcher. Starting at every function that calls
 * fork, all functions reachable through direct calls and jumps must make no
 * indirect call (every JNI call goes through the JNIEnv function table, so
 * it is indirect) and may call only the async-signal-safe libc functions the
 * launch needs: in particular no malloc, no stdio and no exit.
 */
class ForkedCodeTest {
    private static final Set<String> ALLOWED_LIBC = Set.of("fork", "_exit", "waitpid", "putenv",
            "syscall", "sysconf", "close", "setgroups", "setregid", "setreuid", "execv", "write",
            "__errno_location", "strerrordesc_np", "free");

    private static final Pattern FUNCTION = Pattern.compile("^[0-9a-f]+ <(.+)>:$");
    private static final Pattern DIRECT = Pattern.compile("\\s(?:call|jmp)\\s+[0-9a-f]+ <([^>]+)>");
    private static final Pattern INDIRECT = Pattern.compile("\\s(?:notrack\\s+)?(?:call|jmp)\\s+\\*");

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

    @ParameterizedTest
    @ValueSource(strings = {"libCmdLauncher.so.1", "libGuiLauncher.so.1"})
    void forkedCodeMakesNoJniCallAndOnlyAsyncSignalSafeLibcCalls(String lib) {
        Map<String, List<String>> functions = disassemble(lib);
        List<String> forkers = functions.entrySet().stream()
                .filter(e -> e.getValue().stream().anyMatch(l -> l.contains("<fork@plt>")))
                .map(Map.Entry::getKey).toList();
        assertFalse(forkers.isEmpty(), "no call of fork found in " + lib);

        Set<String> reached = new TreeSet<>();
        Set<String> libcCalls = new TreeSet<>();
        List<String> indirect = new ArrayList<>();
        ArrayDeque<String> work = new ArrayDeque<>(forkers);
        while (!work.isEmpty()) {
            String f = work.pop();
            if (!reached.add(f)) continue;
            List<String> body = functions.get(f);
            assertTrue(body != null, "call target not found: " + f);
            for (String line : body) {
                if (INDIRECT.matcher(line).find()) indirect.add(f + ": " + line.trim());
                Matcher m = DIRECT.matcher(line);
                if (!m.find()) continue;
                String target = m.group(1);
                if (target.endsWith("@plt")) {
                    libcCalls.add(target.substring(0, target.length() - 4));
                } else if (!target.contains("+0x")) {
                    work.push(target);  // another function (a jump inside f has an offset)
                }
            }
        }
        assertEquals(List.of(), indirect, "indirect calls reachable after fork: " + reached);
        Set<String> unexpected = new TreeSet<>(libcCalls);
        unexpected.removeAll(ALLOWED_LIBC);
        assertEquals(Set.of(), unexpected, "libc calls reachable after fork");
        assertTrue(libcCalls.containsAll(Set.of("execv", "_exit", "setregid", "setreuid")), libcCalls.toString());
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

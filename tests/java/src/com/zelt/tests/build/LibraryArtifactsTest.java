package com.zelt.tests.build;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.api.Test;
import java.util.stream.Stream;

/** The three deliverables as the JVM and the loader see them. */
class LibraryArtifactsTest {
    private static final String DTL = "com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary";
    private static final String CMD = "com.zelt.management.tolvaimpl.services.launch.CmdLauncher";
    private static final String GUI = "com.zelt.management.tolvaimpl.services.launch.GuiLauncher";

    static Stream<Arguments> libraries() {
        return Stream.of(
                Arguments.of("libnamestore.so", DTL,
                        Set.of("libnsl.so.2", "libtirpc.so.3", "libnettle.so.8", "libgmp.so.10"), true),
                Arguments.of("libCmdLauncher.so.1", CMD, Set.of(), false),
                Arguments.of("libGuiLauncher.so.1", GUI, Set.of(), false));
    }

    private static Path lib(String file) {
        return Processes.nativeDir().resolve(file);
    }

    private static List<String> dynamicSection(String file) {
        var r = Processes.run("readelf", "-d", "-W", lib(file).toString());
        assertEquals(0, r.exitCode(), r.stderr());
        return r.stdout().lines().toList();
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("libraries")
    void hasExactFileNameAndNoSoname(String file, String cls, Set<String> needed, boolean session) {
        assertTrue(Files.isRegularFile(lib(file)), file + " missing");
        assertFalse(dynamicSection(file).stream().anyMatch(l -> l.contains("(SONAME)")),
                file + " records a SONAME");
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("libraries")
    void recordsOnlyTheAllowedNeededLibraries(String file, String cls, Set<String> needed, boolean session) {
        Set<String> actual = new TreeSet<>();
        for (String l : dynamicSection(file)) {
            if (l.contains("(NEEDED)")) {
                actual.add(l.substring(l.indexOf('[') + 1, l.indexOf(']')));
            }
        }
        assertEquals(new TreeSet<>(needed), actual, file + " needed libraries");
    }

    /** Exports are exactly the JNI names of the class's native methods (plus the registry). */
    @ParameterizedTest(name = "{0}")
    @MethodSource("libraries")
    void exportsOnlyItsJniFunctions(String file, String cls, Set<String> needed, boolean session)
            throws Exception {
        Set<String> expected = new TreeSet<>();
        for (Method m : Class.forName(cls, false, getClass().getClassLoader()).getDeclaredMethods()) {
            if (Modifier.isNative(m.getModifiers())) {
                expected.add("Java_" + cls.replace('.', '_') + "_" + m.getName());
            }
        }
        if (session) {
            expected.add("nisplusSession");
        }
        var r = Processes.run("nm", "-D", "--defined-only", "--format=posix", lib(file).toString());
        assertEquals(0, r.exitCode(), r.stderr());
        Set<String> actual = new TreeSet<>();
        r.stdout().lines().map(l -> l.split(" ")[0]).forEach(actual::add);
        assertEquals(expected, actual, file + " exports");
    }

    @Test
    void registryIsAnExportedDataObjectOf32Slots() {
        var r = Processes.run("nm", "-D", "-S", "--defined-only", "--format=posix",
                lib("libnamestore.so").toString());
        String line = r.stdout().lines().filter(l -> l.startsWith("nisplusSession ")).findFirst()
                .orElseThrow(() -> new AssertionError("nisplusSession not exported"));
        String[] f = line.split(" ");
        assertTrue(f[1].equals("B") || f[1].equals("D"), "data symbol: " + line);
        // 32 slots of {int, char[256], char[64], pointer, int}: 344 bytes each on LP64.
        assertEquals(32 * 344, Long.parseLong(f[3], 16), "registry size");
    }

    /** With LD_BIND_NOW every undefined symbol must resolve when the library is loaded. */
    @Test
    void everyUndefinedSymbolResolvesAtLoadTime() {
        var r = Processes.run(Processes.childJvm(List.of(), LoadAllLibraries.class.getName()),
                Map.of("LD_BIND_NOW", "1"));
        assertEquals(0, r.exitCode(), r.stdout() + r.stderr());
        assertTrue(r.stdout().contains("LOADED"), r.stdout());
        Processes.assertNoJniWarnings(r);
    }
}

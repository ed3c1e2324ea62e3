package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.ENOENT;
import static com.zelt.tests.host.HostFiles.F_OK;
import static com.zelt.tests.host.HostFiles.LIB;
import static com.zelt.tests.host.HostFiles.NOBODY;
import static com.zelt.tests.host.HostFiles.namesAsHex;
import static com.zelt.tests.host.HostFiles.utf8Hex;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.zelt.tests.support.Processes;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Locale;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * File names reach the file system as standard UTF-8: a character outside the
 * Basic Multilingual Plane is one 4-byte sequence, not two encoded surrogates.
 * The bytes on disk are read by another process.
 */
class Utf8NamesTest {
    // e-acute (2 bytes), a CJK ideograph (3 bytes), G clef U+1D11E (4 bytes).
    private static final String NAME = "caf\u00e9-\u4e2d-\ud834\udd1e";

    @TempDir Path dir;

    /** Removes the names this JVM may be unable to encode before JUnit cleans up. */
    @AfterEach
    void removeNames() {
        Processes.run("sh", "-c", "rm -rf -- \"$1\"/*", "sh", dir.toString());
    }

    @Test
    void namesWrittenByTheLibraryAreUtf8OnDisk() {
        assertEquals(0, LIB.fileCreate(dir + "/" + NAME, NOBODY, NOBODY, 0640));
        assertEquals(List.of("636166c3a92de4b8ad2df09d849e"), namesAsHex(dir));
        assertEquals(utf8Hex(NAME), namesAsHex(dir).get(0));
        assertEquals(0, LIB.fileAccess(dir + "/" + NAME, F_OK));
        assertEquals(0, LIB.fileDelete(dir + "/" + NAME));
        assertEquals(List.of(), namesAsHex(dir));
    }

    @Test
    void namesWrittenByOtherProgramsAreFound() {
        // The shell writes the UTF-8 bytes itself, from octal escapes.
        Processes.Result r = Processes.run("sh", "-c",
                "cd \"$1\" && touch \"$(printf 'caf\\303\\251-\\344\\270\\255-\\360\\235\\204\\236')\""
                        + " && ln -s \"$(printf '\\360\\235\\204\\236')\" link",
                "sh", dir.toString());
        assertEquals(0, r.exitCode(), r.stderr());
        String file = dir + "/" + NAME;
        assertEquals(0, LIB.fileAccess(file, F_OK));
        // A link to a missing name: fileCreate creates its UTF-8 target.
        assertEquals(0, LIB.fileCreate(dir.resolve("link").toString(), -1, -1, 0600));
        assertTrue(namesAsHex(dir).contains("f09d849e"), namesAsHex(dir).toString());
        assertEquals(0, LIB.fileCopyStat(dir + "/\ud834\udd1e", file));
        assertEquals(0, LIB.fileDelete(file));
        assertEquals(ENOENT, LIB.fileAccess(file, F_OK));
    }

    @Test
    void javaSeesTheSameNamesWhenItsFileEncodingIsUtf8() throws IOException {
        // The harness sets a UTF-8 locale, so this runs on every machine.
        assertEquals("UTF-8", System.getProperty("sun.jnu.encoding").toUpperCase(Locale.ROOT));
        Path file = dir.resolve(NAME);
        assertEquals(0, LIB.fileCreate(file.toString(), -1, -1, 0644));
        assertTrue(Files.isRegularFile(file));
        try (var names = Files.list(dir)) {
            assertEquals(List.of(NAME), names.map(p -> p.getFileName().toString()).toList());
        }
    }

    @Test
    void aLoneSurrogateBecomesTheReplacementCharacter() {
        assertEquals(0, LIB.fileCreate(dir + "/x\ud834", -1, -1, 0644));
        assertEquals(List.of("78efbfbd"), namesAsHex(dir));
    }
}

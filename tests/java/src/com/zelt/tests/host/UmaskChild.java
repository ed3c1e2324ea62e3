package com.zelt.tests.host;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Child-JVM entry point for FileCreateTest, started under a known file-creation
 * mask: creates files with fileCreate, alone and while another thread creates
 * files through java.nio, and prints what it saw as key=value lines.
 *
 * <p>Arguments: a directory to work in, and the number of fileCreate calls of
 * the concurrent run.
 */
public final class UmaskChild {
    private UmaskChild() {}

    public static void main(String[] args) throws Exception {
        Path dir = Path.of(args[0]);
        int iterations = Integer.parseInt(args[1]);
        DirectoryTableLibrary lib = new DirectoryTableLibrary();

        System.out.println("umaskBefore=" + umask());
        report(lib, dir.resolve("all"), 0777);
        report(lib, dir.resolve("rw"), 0666);
        report(lib, dir.resolve("none"), 0);
        report(lib, dir.resolve("special"), 07755);
        System.out.println("umaskAfter=" + umask());

        int expectedOther = 0666 & ~Integer.parseInt(umask(), 8);
        Path mine = Files.createDirectory(dir.resolve("mine"));
        Path other = Files.createDirectory(dir.resolve("other"));
        AtomicBoolean stop = new AtomicBoolean();
        AtomicInteger badCreates = new AtomicInteger();
        AtomicInteger otherFiles = new AtomicInteger();
        AtomicInteger otherWrong = new AtomicInteger();
        AtomicInteger maskSamples = new AtomicInteger();
        AtomicInteger maskChanged = new AtomicInteger();
        String mask = umask();

        Thread creator = new Thread(() -> {
            for (int i = 0; i < iterations; i++) {
                Path p = mine.resolve("f" + i);
                if (lib.fileCreate(p.toString(), -1, -1, 0666) != 0 || HostFiles.mode(p) != 0666) {
                    badCreates.incrementAndGet();
                }
            }
        });
        Thread bystander = new Thread(() -> {
            for (int j = 0; !stop.get(); j++) {
                try {
                    Path p = Files.createFile(other.resolve("g" + j));
                    otherFiles.incrementAndGet();
                    if (HostFiles.mode(p) != expectedOther) otherWrong.incrementAndGet();
                } catch (IOException e) {
                    otherWrong.incrementAndGet();
                }
            }
        });
        Thread watcher = new Thread(() -> {
            while (!stop.get()) {
                maskSamples.incrementAndGet();
                if (!umask().equals(mask)) maskChanged.incrementAndGet();
            }
        });
        bystander.start();
        watcher.start();
        creator.start();
        creator.join();
        stop.set(true);
        bystander.join();
        watcher.join();
        System.out.println("badCreates=" + badCreates.get());
        System.out.println("otherFiles=" + otherFiles.get());
        System.out.println("otherWrongMode=" + otherWrong.get());
        System.out.println("maskSamples=" + maskSamples.get());
        System.out.println("maskChanged=" + maskChanged.get());
    }

    private static void report(DirectoryTableLibrary lib, Path p, int mode) {
        int r = lib.fileCreate(p.toString(), -1, -1, mode);
        String bits = Files.exists(p) ? Integer.toOctalString(HostFiles.mode(p)) : "missing";
        System.out.println(p.getFileName() + "=" + r + ":" + bits);
    }

    /** The process file-creation mask as the kernel reports it, in octal. */
    static String umask() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                if (line.startsWith("Umask:")) return line.substring(6).trim();
            }
        } catch (IOException e) {
            throw new java.io.UncheckedIOException(e);
        }
        throw new AssertionError("no Umask line in /proc/self/status");
    }
}

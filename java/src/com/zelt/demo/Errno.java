package com.zelt.demo;

import java.util.Map;

/** The system's texts (Linux numbering) for the errno values the tour's file calls can return. */
final class Errno {
    private Errno() {}

    private static final Map<Integer, String> TEXTS = Map.ofEntries(
            Map.entry(1, "Operation not permitted"), Map.entry(2, "No such file or directory"),
            Map.entry(13, "Permission denied"), Map.entry(17, "File exists"),
            Map.entry(20, "Not a directory"), Map.entry(21, "Is a directory"),
            Map.entry(22, "Invalid argument"), Map.entry(28, "No space left on device"),
            Map.entry(30, "Read-only file system"), Map.entry(36, "File name too long"),
            Map.entry(40, "Too many levels of symbolic links"));

    static String text(int errno) {
        return TEXTS.getOrDefault(errno, "errno " + errno);
    }
}

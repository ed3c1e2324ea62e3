package com.zelt.text;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;

/**
 * Prints rows of strings as aligned columns on a terminal: values are padded
 * by the cells they take on screen (East Asian wide characters and emoji
 * two, combining marks none), and control characters are shown escaped so a
 * value can never move the cursor or forge another row.
 */
public final class Tables {
    private Tables() {}

    public static void print(PrintStream out, List<String> header, List<String[]> rows) {
        int cols = header.size();
        for (String[] r : rows) {
            cols = Math.max(cols, r.length);
        }
        int[] width = new int[cols];
        List<String[]> all = new ArrayList<>();
        boolean hasHeader = !header.isEmpty();
        if (hasHeader) {
            all.add(header.toArray(new String[0]));
        }
        for (String[] r : rows) {
            String[] shown = new String[r.length];
            for (int i = 0; i < r.length; i++) {
                shown[i] = escape(r[i]);
            }
            all.add(shown);
        }
        for (String[] r : all) {
            for (int i = 0; i < r.length; i++) {
                width[i] = Math.max(width[i], displayWidth(r[i]));
            }
        }
        for (int n = 0; n < all.size(); n++) {
            String[] r = all.get(n);
            StringBuilder sb = new StringBuilder("    ");
            for (int i = 0; i < cols; i++) {
                String v = i < r.length ? r[i] : "";
                sb.append(v).append(" ".repeat(width[i] - displayWidth(v) + 2));
            }
            out.println(sb.toString().stripTrailing());
            if (n == 0 && hasHeader) {
                StringBuilder rule = new StringBuilder("    ");
                for (int i = 0; i < cols; i++) {
                    rule.append("-".repeat(width[i])).append("  ");
                }
                out.println(rule.toString().stripTrailing());
            }
        }
    }

    /** "1", "2", ... n: the header of a table whose column names are not known. */
    public static List<String> numbered(int columns) {
        List<String> h = new ArrayList<>();
        for (int i = 1; i <= columns; i++) {
            h.add(Integer.toString(i));
        }
        return h;
    }

    /** Splits a flat row-major listing into rows of the given width. */
    public static List<String[]> rows(String[] flat, int columns) {
        List<String[]> rows = new ArrayList<>();
        if (flat == null || columns <= 0) {
            return rows;
        }
        for (int i = 0; i + columns <= flat.length; i += columns) {
            String[] r = new String[columns];
            System.arraycopy(flat, i, r, 0, columns);
            rows.add(r);
        }
        return rows;
    }

    /**
     * The value as it can be shown safely: backslash, C0 and C1 controls,
     * DEL, line and paragraph separators and the bidirectional overrides come
     * out as escapes (backslash t, n, r, a doubled backslash, xHH, u{HHHH}); everything else as is.
     */
    public static String escape(String s) {
        if (s == null) {
            return "(null)";
        }
        StringBuilder sb = new StringBuilder(s.length());
        s.codePoints().forEach(c -> {
            switch (c) {
                case '\\' -> sb.append("\\\\");
                case '\t' -> sb.append("\\t");
                case '\n' -> sb.append("\\n");
                case '\r' -> sb.append("\\r");
                default -> {
                    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) {
                        sb.append(String.format("\\x%02x", c));
                    } else if (c == 0x2028 || c == 0x2029 || (c >= 0x202a && c <= 0x202e)
                            || (c >= 0x2066 && c <= 0x2069) || (c >= 0xd800 && c <= 0xdfff)) {
                        sb.append(String.format("\\u{%04x}", c));
                    } else {
                        sb.appendCodePoint(c);
                    }
                }
            }
        });
        return sb.toString();
    }

    /** Terminal cells the text takes: wide characters two, combining and zero-width marks none. */
    public static int displayWidth(String s) {
        int w = 0;
        for (int i = 0; i < s.length();) {
            int c = s.codePointAt(i);
            i += Character.charCount(c);
            w += cellWidth(c);
        }
        return w;
    }

    static int cellWidth(int c) {
        int type = Character.getType(c);
        if (type == Character.NON_SPACING_MARK || type == Character.ENCLOSING_MARK
                || c == 0x200b || c == 0x200c || c == 0x200d || c == 0x2060 || c == 0xfeff
                || (c >= 0xfe00 && c <= 0xfe0f) || (c >= 0xe0100 && c <= 0xe01ef)
                || (c >= 0x1160 && c <= 0x11ff)) {
            return 0;
        }
        return isWide(c) ? 2 : 1;
    }

    private static final int[][] WIDE = {
        {0x1100, 0x115f}, {0x231a, 0x231b}, {0x2329, 0x232a}, {0x23e9, 0x23ec}, {0x23f0, 0x23f0},
        {0x23f3, 0x23f3}, {0x25fd, 0x25fe}, {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267f, 0x267f},
        {0x2693, 0x2693}, {0x26a1, 0x26a1}, {0x26aa, 0x26ab}, {0x26bd, 0x26be}, {0x26c4, 0x26c5},
        {0x26ce, 0x26ce}, {0x26d4, 0x26d4}, {0x26ea, 0x26ea}, {0x26f2, 0x26f3}, {0x26f5, 0x26f5},
        {0x26fa, 0x26fa}, {0x26fd, 0x26fd}, {0x2705, 0x2705}, {0x270a, 0x270b}, {0x2728, 0x2728},
        {0x274c, 0x274c}, {0x274e, 0x274e}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797},
        {0x27b0, 0x27b0}, {0x27bf, 0x27bf}, {0x2b1b, 0x2b1c}, {0x2b50, 0x2b50}, {0x2b55, 0x2b55},
        {0x2e80, 0x303e}, {0x3041, 0x33ff}, {0x3400, 0x4dbf}, {0x4e00, 0x9fff}, {0xa000, 0xa4cf},
        {0xa960, 0xa97f}, {0xac00, 0xd7a3}, {0xf900, 0xfaff}, {0xfe10, 0xfe19}, {0xfe30, 0xfe6f},
        {0xff00, 0xff60}, {0xffe0, 0xffe6}, {0x16fe0, 0x16fe4}, {0x17000, 0x18cff},
        {0x1b000, 0x1b2ff}, {0x1f004, 0x1f004}, {0x1f0cf, 0x1f0cf}, {0x1f18e, 0x1f18e},
        {0x1f191, 0x1f19a}, {0x1f200, 0x1f251}, {0x1f300, 0x1f64f}, {0x1f680, 0x1f6ff},
        {0x1f7e0, 0x1f7eb}, {0x1f90c, 0x1f9ff}, {0x1fa70, 0x1faff}, {0x20000, 0x2fffd},
        {0x30000, 0x3fffd},
    };

    private static boolean isWide(int c) {
        if (c < 0x1100) {
            return false;
        }
        for (int[] r : WIDE) {
            if (c >= r[0] && c <= r[1]) {
                return true;
            }
        }
        return false;
    }
}

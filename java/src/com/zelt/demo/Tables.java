package com.zelt.demo;

import java.io.PrintStream;
import java.util.ArrayList;
import java.util.List;

/** Prints rows of strings as aligned columns. */
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
        all.addAll(rows);
        for (String[] r : all) {
            for (int i = 0; i < r.length; i++) {
                width[i] = Math.max(width[i], shown(r[i]).length());
            }
        }
        for (int n = 0; n < all.size(); n++) {
            String[] r = all.get(n);
            StringBuilder sb = new StringBuilder("    ");
            for (int i = 0; i < cols; i++) {
                String v = i < r.length ? shown(r[i]) : "";
                sb.append(v).append(" ".repeat(width[i] - v.length() + 2));
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

    private static String shown(String s) {
        return s == null ? "(null)" : s;
    }
}

package com.zelt.tests.support;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Drives the sandbox's nisplusd through nisplusctl: dump, load, reset, fault
 * injection, request log, pause and resume; and reads dumps and log lines
 * into records so tests need no string fiddling. The text format is
 * described in nisplus/testserver/README.md.
 */
public final class NisplusServer {
    private NisplusServer() {}

    /** The NIS+ root directory the sandbox serves, e.g. "sandbox.test.". */
    public static String directory() {
        String d = System.getenv("NISPLUS_DIRECTORY");
        if (d == null) {
            throw new AssertionError("NISPLUS_DIRECTORY is not set: not running in the nisplus sandbox");
        }
        return d;
    }

    /** The org_dir subdirectory of the root, e.g. "org_dir.sandbox.test.". */
    public static String orgDir() {
        return "org_dir." + directory();
    }

    /** nisplusd's process ID. */
    public static long pid() {
        String p = System.getenv("NISPLUSD_PID");
        if (p == null) {
            throw new AssertionError("NISPLUSD_PID is not set: not running in the nisplus sandbox");
        }
        return Long.parseLong(p.trim());
    }

    public static Path ctlBinary() {
        return Processes.buildDir().resolve("bin").resolve("nisplusctl");
    }

    /** Runs nisplusctl with the given arguments; fails unless it exits 0. Returns stdout. */
    public static String ctl(String... args) {
        List<String> cmd = new ArrayList<>();
        cmd.add(ctlBinary().toString());
        String control = System.getenv("NISPLUSD_CONTROL");
        if (control != null) {
            cmd.add("--control");
            cmd.add(control);
        }
        cmd.addAll(Arrays.asList(args));
        Processes.Result r = Processes.run(cmd);
        if (r.exitCode() != 0) {
            throw new AssertionError("nisplusctl " + String.join(" ", args) + " failed ("
                    + r.exitCode() + "): " + r.stderr() + r.stdout());
        }
        return r.stdout();
    }

    /** The whole namespace in seed format. */
    public static String dump() {
        return ctl("dump");
    }

    /** One directory (with everything below it) or one table (with its entries) in seed format. */
    public static String dump(String name) {
        return ctl("dump", name);
    }

    /** Merges seed text into the namespace (tables named again are replaced). */
    public static void load(String seedText) {
        try {
            Path f = Files.createTempFile("nisplus-seed-", ".nis");
            try {
                Files.writeString(f, seedText, StandardCharsets.UTF_8);
                ctl("load", f.toString());
            } finally {
                Files.deleteIfExists(f);
            }
        } catch (IOException e) {
            throw new AssertionError("cannot write a seed file", e);
        }
    }

    /**
     * The principal nisplusd maps an AUTH_SYS caller of this uid on this
     * host to ("server.sandbox.test." for root in the sandbox, "nobody" for
     * a uid without a LOCAL credential).
     */
    public static String principal(int uid) {
        return ctl("principal", Integer.toString(uid)).strip();
    }

    /** The security level nisplusd enforces now (0, 1 or 2). */
    public static int security() {
        return Integer.parseInt(ctl("security").strip());
    }

    /** Sets the security level; reset() restores the one it started with. */
    public static void security(int level) {
        ctl("security", Integer.toString(level));
    }

    /** Restores the namespace loaded at start and drops all faults. */
    public static void reset() {
        ctl("reset");
    }

    /**
     * The next count requests of proc (e.g. "NIS_LOOKUP"), or only those for
     * nameOrNull, answer result: a numeric status, "S_SUCCESS" or "NOOBJECT".
     */
    public static void fault(String proc, int count, String result, String nameOrNull) {
        if (nameOrNull == null) {
            ctl("fault", proc, Integer.toString(count), result);
        } else {
            ctl("fault", proc, Integer.toString(count), result, nameOrNull);
        }
    }

    public static void clearFaults() {
        ctl("fault", "clear");
    }

    /** One line per request received since start or the last clearLog(). */
    public static List<String> log() {
        String out = ctl("log");
        List<String> lines = new ArrayList<>();
        for (String l : out.split("\n")) {
            if (!l.isEmpty()) {
                lines.add(l);
            }
        }
        return lines;
    }

    public static void clearLog() {
        ctl("log", "clear");
    }

    /** Stops nisplusd (SIGSTOP): it stays registered but answers nothing. */
    public static void pause() {
        signal("-STOP");
    }

    /** Continues a paused nisplusd (SIGCONT). */
    public static void resume() {
        signal("-CONT");
    }

    private static void signal(String sig) {
        Processes.Result r = Processes.run("kill", sig, Long.toString(pid()));
        if (r.exitCode() != 0) {
            throw new AssertionError("kill " + sig + " failed: " + r.stderr());
        }
    }

    // ---- records read from dumps and logs ----

    public record Directory(String name, String owner, String group, int access, int ttl) {}

    public record Column(String name, int flags, int rights) {
        public boolean searchable() {
            return (flags & 8) != 0;
        }
    }

    public record Table(String name, String type, int sep, String owner, String group, int access,
            int ttl, String path, int maxcol, List<Column> columns) {
        public List<String> columnNames() {
            return columns.stream().map(Column::name).toList();
        }
    }

    /** One column value: its exact bytes (trailing NUL included when stored) and flags. */
    public record Value(byte[] bytes, int flags) {
        /** The bytes as UTF-8 text, without one trailing NUL. */
        public String text() {
            int n = bytes.length;
            if (n > 0 && bytes[n - 1] == 0) {
                n--;
            }
            return new String(bytes, 0, n, StandardCharsets.UTF_8);
        }

        @Override
        public boolean equals(Object o) {
            return o instanceof Value v && v.flags == flags && Arrays.equals(v.bytes, bytes);
        }

        @Override
        public int hashCode() {
            return Arrays.hashCode(bytes) * 31 + flags;
        }

        @Override
        public String toString() {
            return quote(bytes) + "/0x" + Integer.toHexString(flags);
        }
    }

    public record Entry(String table, String type, String owner, String group, int access, int ttl,
            List<Value> values) {
        /** Column values as text, each without its trailing NUL. */
        public List<String> texts() {
            return values.stream().map(Value::text).toList();
        }
    }

    /**
     * One request from the log. attrs keeps the search values' exact bytes;
     * entryType and entryValues are set for NIS_IBADD and NIS_IBMODIFY that
     * carried an entry object (else null).
     */
    public record Request(String proc, String name, Map<String, byte[]> attrs, int flags,
            String entryType, List<Value> entryValues) {
        /** Search values as text, each without its trailing NUL. */
        public Map<String, String> attrTexts() {
            Map<String, String> m = new LinkedHashMap<>();
            attrs.forEach((k, v) -> m.put(k, new Value(v, 0).text()));
            return m;
        }
    }

    public static List<Directory> directories(String dump) {
        List<Directory> out = new ArrayList<>();
        for (List<Token> line : lines(dump)) {
            if (line.get(0).text().equals("directory")) {
                Map<String, Token> kv = keywords(line, 2);
                out.add(new Directory(line.get(1).text(), str(kv, "owner"), str(kv, "group"),
                        num(kv, "access"), num(kv, "ttl")));
            }
        }
        return out;
    }

    public static List<Table> tables(String dump) {
        List<Table> out = new ArrayList<>();
        List<Column> cols = null;
        Map<String, Token> kv = null;
        String name = null;
        for (List<Token> line : lines(dump)) {
            String kind = line.get(0).text();
            if (kind.equals("column") && cols != null) {
                Map<String, Token> c = keywords(line, 2);
                cols.add(new Column(line.get(1).text(), num(c, "flags"), num(c, "rights")));
                continue;
            }
            if (cols != null) {
                out.add(table(name, kv, cols));
                cols = null;
            }
            if (kind.equals("table")) {
                name = line.get(1).text();
                kv = keywords(line, 2);
                cols = new ArrayList<>();
            }
        }
        if (cols != null) {
            out.add(table(name, kv, cols));
        }
        return out;
    }

    private static Table table(String name, Map<String, Token> kv, List<Column> cols) {
        return new Table(name, str(kv, "type"), num(kv, "sep"), str(kv, "owner"), str(kv, "group"),
                num(kv, "access"), num(kv, "ttl"), str(kv, "path"), num(kv, "maxcol"), List.copyOf(cols));
    }

    /** The table of that name in a dump; fails when it is missing. */
    public static Table table(String dump, String name) {
        for (Table t : tables(dump)) {
            if (t.name().equalsIgnoreCase(name)) {
                return t;
            }
        }
        throw new AssertionError("no table " + name + " in dump:\n" + dump);
    }

    /** The table as the server holds it now. */
    public static Table table(String name) {
        return table(dump(name), name);
    }

    /** Whether the server holds an object (directory or table) of that name now. */
    public static boolean exists(String name) {
        String d = dump();
        String lower = name.toLowerCase(Locale.ROOT);
        return directories(d).stream().anyMatch(x -> x.name().toLowerCase(Locale.ROOT).equals(lower))
                || tables(d).stream().anyMatch(x -> x.name().toLowerCase(Locale.ROOT).equals(lower));
    }

    /** The entries of one table in a dump, in stored order. */
    public static List<Entry> entries(String dump, String tableName) {
        List<Entry> out = new ArrayList<>();
        for (List<Token> line : lines(dump)) {
            if (!line.get(0).text().equals("entry") || !line.get(1).text().equalsIgnoreCase(tableName)) {
                continue;
            }
            Map<String, Token> kv = new LinkedHashMap<>();
            List<Value> values = new ArrayList<>();
            for (Token t : line.subList(2, line.size())) {
                if (t.key() != null) {
                    kv.put(t.key(), t);
                } else {
                    values.add(new Value(t.bytes(), t.flags()));
                }
            }
            out.add(new Entry(line.get(1).text(), str(kv, "type"), str(kv, "owner"), str(kv, "group"),
                    num(kv, "access"), num(kv, "ttl"), List.copyOf(values)));
        }
        return out;
    }

    /** The entries of a table as the server holds them now. */
    public static List<Entry> entries(String tableName) {
        return entries(dump(tableName), tableName);
    }

    /** The log read into records. */
    public static List<Request> requests() {
        List<Request> out = new ArrayList<>();
        for (String l : log()) {
            out.add(parseRequest(l));
        }
        return out;
    }

    /** The logged requests of one procedure, e.g. "NIS_IBADD". */
    public static List<Request> requests(String proc) {
        return requests().stream().filter(r -> r.proc().equals(proc)).toList();
    }

    public static Request parseRequest(String line) {
        List<Token> toks = tokenize(line);
        String proc = toks.get(0).text();
        String name = null;
        int flags = 0;
        Map<String, byte[]> attrs = new LinkedHashMap<>();
        String entryType = null;
        List<Value> values = null;
        int i = 1;
        for (; i < toks.size(); i++) {
            Token t = toks.get(i);
            if (t.key() == null && t.text().equals("entry")) {
                i++;
                break;
            }
            if ("name".equals(t.key())) {
                name = t.text();
            } else if ("flags".equals(t.key())) {
                flags = (int) Long.decode(t.text()).longValue();
            } else if ("attrs".equals(t.key())) {
                attrs = parseAttrs(t.raw());
            }
        }
        boolean hasEntry = i <= toks.size() && i > 1 && toks.get(i - 1).key() == null
                && toks.get(i - 1).text().equals("entry");
        if (hasEntry) {
            values = new ArrayList<>();
        }
        for (; i < toks.size(); i++) {
            Token t = toks.get(i);
            if ("type".equals(t.key())) {
                entryType = t.text();
            } else if ("values".equals(t.key())) {
                values.add(new Value(t.bytes(), t.flags()));
            } else if (t.key() == null && values != null) {
                values.add(new Value(t.bytes(), t.flags()));
            }
        }
        return new Request(proc, name, attrs, flags, entryType, values == null ? null : List.copyOf(values));
    }

    // attrs=a="x\0",b="y\0" (no spaces inside, values quoted)
    private static Map<String, byte[]> parseAttrs(String raw) {
        Map<String, byte[]> m = new LinkedHashMap<>();
        int i = 0;
        while (i < raw.length()) {
            int eq = raw.indexOf('=', i);
            if (eq < 0) {
                throw new AssertionError("bad attrs in log: " + raw);
            }
            String key = raw.substring(i, eq);
            int[] end = new int[1];
            byte[] v = unquote(raw, eq + 1, end);
            m.put(key, v);
            i = end[0];
            if (i < raw.length() && raw.charAt(i) == ',') {
                i++;
            }
        }
        return m;
    }

    // ---- seed text helpers ----

    /** A value as a quoted seed-format string: exact bytes, escapes for NUL and the like. */
    public static String quote(byte[] bytes) {
        StringBuilder sb = new StringBuilder("\"");
        int i = 0;
        while (i < bytes.length) {
            int b = bytes[i] & 0xff;
            int n = utf8Length(bytes, i);
            if (n > 1) {
                sb.append(new String(bytes, i, n, StandardCharsets.UTF_8));
                i += n;
                continue;
            }
            switch (b) {
                case '\\' -> sb.append("\\\\");
                case '"' -> sb.append("\\\"");
                case '\n' -> sb.append("\\n");
                case '\t' -> sb.append("\\t");
                case '\r' -> sb.append("\\r");
                case 0 -> sb.append("\\0");
                default -> {
                    if (b >= 0x20 && b < 0x7f) {
                        sb.append((char) b);
                    } else {
                        sb.append(String.format("\\x%02x", b));
                    }
                }
            }
            i++;
        }
        return sb.append('"').toString();
    }

    /** Text as a client sends it: its UTF-8 bytes plus the terminating NUL, quoted. */
    public static String quoteWithNul(String text) {
        byte[] t = text.getBytes(StandardCharsets.UTF_8);
        return quote(Arrays.copyOf(t, t.length + 1));
    }

    private static int utf8Length(byte[] b, int i) {
        int c = b[i] & 0xff;
        int n;
        int min;
        if (c >= 0xc2 && c <= 0xdf) {
            n = 2;
            min = 0x80;
        } else if (c >= 0xe0 && c <= 0xef) {
            n = 3;
            min = 0x800;
        } else if (c >= 0xf0 && c <= 0xf4) {
            n = 4;
            min = 0x10000;
        } else {
            return 1;
        }
        if (i + n > b.length) {
            return 1;
        }
        int cp = c & (0x7f >> n);
        for (int k = 1; k < n; k++) {
            int cc = b[i + k] & 0xff;
            if ((cc & 0xc0) != 0x80) {
                return 1;
            }
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            return 1;
        }
        return n;
    }

    /** Decodes the quoted string starting at s[pos] (a '"'); end[0] gets the index after it. */
    static byte[] unquote(String s, int pos, int[] end) {
        if (pos >= s.length() || s.charAt(pos) != '"') {
            throw new AssertionError("expected a quoted string at " + pos + " in: " + s);
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        int i = pos + 1;
        while (true) {
            if (i >= s.length()) {
                throw new AssertionError("unterminated string in: " + s);
            }
            char c = s.charAt(i);
            if (c == '"') {
                end[0] = i + 1;
                return out.toByteArray();
            }
            if (c == '\\') {
                char e = s.charAt(i + 1);
                switch (e) {
                    case '\\' -> out.write('\\');
                    case '"' -> out.write('"');
                    case 'n' -> out.write('\n');
                    case 't' -> out.write('\t');
                    case 'r' -> out.write('\r');
                    case '0' -> out.write(0);
                    case 'x' -> {
                        out.write(Integer.parseInt(s.substring(i + 2, i + 4), 16));
                        i += 2;
                    }
                    default -> throw new AssertionError("bad escape \\" + e + " in: " + s);
                }
                i += 2;
                continue;
            }
            int cp = s.codePointAt(i);
            byte[] u = new String(Character.toChars(cp)).getBytes(StandardCharsets.UTF_8);
            out.write(u, 0, u.length);
            i += Character.charCount(cp);
        }
    }

    // ---- tokenizer for seed/dump/log lines ----

    /** key=value, a bare word, or a quoted value with optional /0xNN flags. */
    private record Token(String key, String raw, byte[] bytes, int flags) {
        String text() {
            return new String(bytes, StandardCharsets.UTF_8);
        }
    }

    private static List<List<Token>> lines(String text) {
        List<List<Token>> out = new ArrayList<>();
        for (String l : text.split("\n")) {
            List<Token> t = tokenize(l);
            if (!t.isEmpty()) {
                out.add(t);
            }
        }
        return out;
    }

    private static List<Token> tokenize(String line) {
        List<Token> out = new ArrayList<>();
        int i = 0;
        int n = line.length();
        while (true) {
            while (i < n && (line.charAt(i) == ' ' || line.charAt(i) == '\t')) {
                i++;
            }
            if (i >= n || line.charAt(i) == '#') {
                return out;
            }
            int start = i;
            String key = null;
            int keyEnd = -1;
            // A key is a run of word characters followed by '='.
            int j = i;
            while (j < n && (Character.isLetterOrDigit(line.charAt(j)) || line.charAt(j) == '_')) {
                j++;
            }
            if (j > i && j < n && line.charAt(j) == '=') {
                key = line.substring(i, j);
                keyEnd = j + 1;
                i = keyEnd;
            }
            byte[] bytes;
            if (key != null && key.equals("attrs")) {
                // Scan to the next space outside quotes.
                boolean q = false;
                while (i < n && (q || line.charAt(i) != ' ')) {
                    if (line.charAt(i) == '\\' && q) {
                        i++;
                    } else if (line.charAt(i) == '"') {
                        q = !q;
                    }
                    i++;
                }
                out.add(new Token(key, line.substring(keyEnd, i), new byte[0], 0));
                continue;
            }
            if (i < n && line.charAt(i) == '"') {
                int[] end = new int[1];
                bytes = unquote(line, i, end);
                i = end[0];
            } else {
                int s = i;
                while (i < n && line.charAt(i) != ' ' && line.charAt(i) != '\t' && line.charAt(i) != '/') {
                    i++;
                }
                String word = line.substring(s, i);
                bytes = word.equals("null") && key == null ? new byte[0] : word.getBytes(StandardCharsets.UTF_8);
            }
            int flags = 0;
            if (i + 1 < n && line.charAt(i) == '/') {
                int s = i + 1;
                while (i < n && line.charAt(i) != ' ' && line.charAt(i) != '\t') {
                    i++;
                }
                flags = (int) Long.decode(line.substring(s, i)).longValue();
            }
            out.add(new Token(key, line.substring(start, i), bytes, flags));
        }
    }

    private static Map<String, Token> keywords(List<Token> line, int from) {
        Map<String, Token> m = new LinkedHashMap<>();
        for (Token t : line.subList(from, line.size())) {
            if (t.key() != null) {
                m.put(t.key(), t);
            }
        }
        return m;
    }

    private static String str(Map<String, Token> kv, String key) {
        Token t = kv.get(key);
        return t == null ? null : t.text();
    }

    private static int num(Map<String, Token> kv, String key) {
        Token t = kv.get(key);
        return t == null ? 0 : (int) Long.decode(t.text()).longValue();
    }
}

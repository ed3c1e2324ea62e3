package com.zelt.cli;

/**
 * The form of a search criteria as the tool accepts it: empty (the whole
 * table) or "[COLUMN=VALUE,...]," , the prefix that is put, unchanged,
 * in front of the table name. The libraries pass criteria through without
 * a look; the tool checks the form first so a typing slip is reported as
 * such instead of as an entry that does not exist.
 */
final class Criteria {
    private Criteria() {}

    static final String FORM = "[COLUMN=VALUE,...], (for example '[name=alpha],')";

    /** Why criteria is malformed, or null when its form is right. */
    static String problem(String criteria) {
        if (criteria.isEmpty()) {
            return null;
        }
        if (criteria.charAt(0) != '[') {
            return "criteria '" + criteria + "' must start with '[': write " + FORM;
        }
        int close = criteria.indexOf(']');
        if (close < 0) {
            return "criteria '" + criteria + "' has no closing ']': write " + FORM;
        }
        String tail = criteria.substring(close + 1);
        if (!tail.isEmpty() && !tail.equals(",")) {
            return "criteria '" + criteria + "' has '" + tail + "' after its ']': only the ',' "
                    + "that separates it from the table name may follow";
        }
        // The client's own split: pairs on ',', each at its first '=', so a
        // value may hold '=' or '['; a comma before the ']' ends the list.
        String search = criteria.substring(1, close);
        if (search.length() > 1 && search.endsWith(",")) {
            search = search.substring(0, search.length() - 1);
        }
        if (search.isEmpty()) {
            return null;
        }
        for (String pair : search.split(",", -1)) {
            if (pair.indexOf('=') <= 0) {
                return "criteria '" + criteria + "': '" + pair + "' is not COLUMN=VALUE";
            }
        }
        return null;
    }
}

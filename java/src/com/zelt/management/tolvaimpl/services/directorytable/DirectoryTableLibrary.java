package com.zelt.management.tolvaimpl.services.directorytable;

import com.zelt.management.tolvaimpl.services.NativeLibraries;

/**
 * Java side of {@code libnamestore}: NIS+ table sessions, table administration, entry retrieval
 * and updates, and a few host utilities.
 *
 * <h2>Loading</h2>
 * The class loads {@value #LIBRARY_FILE} with {@link System#load} from the directory named by the
 * system property {@code zelt.native.dir}. Without it, the file is looked for by that exact name
 * in the absolute directories of {@code java.library.path}, in order, as
 * {@link System#loadLibrary} looks: Debian's JVM lists {@code /usr/lib/<multiarch>/jni} there,
 * where the Debian package and {@code cmake --install --prefix /usr} put the libraries. A missing
 * or unloadable library makes class initialisation fail with {@link UnsatisfiedLinkError};
 * nothing else is thrown.
 *
 * <h2>Results</h2>
 * No native method throws: every failure comes back as the method's failure value, in one form
 * per family.
 * <ul>
 *   <li>Open and add-table return a table handle, 0 to 31, or a <em>negated</em> NIS+ status.</li>
 *   <li>Delete-table returns 0 or a negated NIS+ status; the access test returns 0 or -1.</li>
 *   <li>Entry updates return the NIS+ status <em>as it is</em>: 0 on success, positive on
 *       failure, never negative.</li>
 *   <li>Entry retrieval returns a {@code String[]}, or {@code null} for every failure and for
 *       "nothing matched" alike.</li>
 *   <li>File calls return 0 or the {@code errno} value of the system call that failed (positive,
 *       never negated); {@link #getDomain} and {@link #nisGetMaster} return {@code ""} on
 *       failure.</li>
 * </ul>
 * Requests that the library refuses itself, before any NIS+ call, get a NIS+ status of its own
 * choosing, in the form of their family: {@code NIS_BADREQUEST} (36) for a {@code null} argument or
 * array element, or a string holding U+0000; {@code NIS_BADNAME} (17) for a name or type too long
 * for the session's fields (never cut short); {@code NIS_NOSUCHTABLE} (23) for a handle that is
 * not open; {@code NIS_NOMEMORY} (13) when native memory runs out. {@link #nisplusGetErrorString}
 * gives the text of any status.
 *
 * <h2>Strings</h2>
 * Strings cross the boundary as standard UTF-8 in both directions (not the JVM's modified UTF-8):
 * a supplementary character reaches NIS+ and the file system as its four-byte form, and a value
 * read back becomes the same Java string. A string holding U+0000 has no C form and is refused as
 * above (file calls answer {@code EINVAL}). Bytes read from NIS+ that are not valid UTF-8 arrive
 * one character per byte (as ISO 8859-1), so nothing is lost; a value ends at its first NUL byte.
 * Criteria strings are written in front of the table name exactly as given: the caller supplies
 * the whole NIS+ search prefix, separator included, for example {@code "[name=alpha],"}.
 *
 * <h2>Threads</h2>
 * One instance or many, every method may be called from any number of threads at once: the
 * session registry (32 slots shared by the whole JVM) is guarded by one lock, which is never held
 * across a NIS+ network call, so a slow server delays only the threads that wait for it. A
 * handle belongs to whoever opened it; iterating one handle from two threads at once interleaves
 * their entries. Sessions are process-wide: a handle that is never closed stays taken until the
 * JVM ends.
 */
public class DirectoryTableLibrary {
    /** File name of the native library, as it is looked for (see the class description). */
    public static final String LIBRARY_FILE = "libnamestore.so";

    static {
        NativeLibraries.load(LIBRARY_FILE);
    }

    /** Creates an accessor; all instances share the one process-wide session registry. */
    public DirectoryTableLibrary() {}

    // ---- Table sessions ----

    /**
     * Opens a session on a NIS+ object (normally a table) after looking the name up.
     *
     * @param tableName full NIS+ name, for example {@code hosts.org_dir.example.com.}; under 256
     *     bytes of UTF-8
     * @param tableType the table's type, written into every entry that {@link #nisplusAddEntry}
     *     and {@link #nisplusModifyEntry} send; under 64 bytes of UTF-8
     * @return the handle, 0 to 31 (the lowest free slot); or -23 when NIS+ does not know the name,
     *     -13 when all 32 slots are taken, -17 for a name or type too long, -36 for a
     *     {@code null} argument, otherwise the negated status of the lookup
     */
    public native int nisplusOpenTable(String tableName, String tableType);

    /**
     * Closes a session and frees any listing it kept. A handle out of range or already closed is
     * ignored.
     *
     * @param handle a handle from {@link #nisplusOpenTable} or {@link #nisplusAddTable}
     */
    public native void nisplusCloseTable(int handle);

    /**
     * The NIS+ client library's text for a status, taken as given: negate the result of an open
     * or add-table first.
     *
     * @param status a NIS+ status, for example 23
     * @return the text, or {@code ""} when the client library has none for the code
     */
    public native String nisplusGetErrorString(int status);

    // ---- Table administration ----

    /**
     * Creates a table and opens a session on it. Owner and group come from the directory that will
     * hold the table (the part of the name after its first dot).
     *
     * @param tableName full NIS+ name of the new table, under 128 bytes of UTF-8
     * @param tableType its type, under 64 bytes
     * @param access the NIS+ access word: 8 bits each for nobody, owner, group and world, from the
     *     top; within each, read 1, modify 2, create 4, destroy 8
     * @param columns one definition per column: a marker character ({@code S} makes the column
     *     searchable, any other makes a plain one), then the column name
     * @param separator the table's column separator character
     * @return the handle of the new session; or the negated status of the directory lookup or of
     *     the add (no translation of not-found: -2); -13 when the table was created but every slot
     *     is taken (the table then exists without a session); -33 when the directory lookup
     *     carried no object; -29 for an empty column definition; -17 for a name too long or without a
     *     directory part; -36 for a {@code null} argument
     */
    public native int nisplusAddTable(String tableName, String tableType, int access,
            String[] columns, byte separator);

    /**
     * Removes a table. Sessions still open on it stay open; their calls then fail.
     *
     * @param tableName full NIS+ name of the table
     * @return 0, or the negated NIS+ status; -36 for a {@code null} name
     */
    public native int nisplusDeleteTable(String tableName);

    /**
     * Tests whether the access word on a NIS+ object grants every right asked for to nobody, the
     * group or the world. The owner's rights are not consulted.
     *
     * @param objectName full NIS+ name of any object
     * @param mode read 1, modify 2, create 4, destroy 8, and 16 for the object's existence, added
     *     up; 16 alone tests existence
     * @return 0 when every requested right is granted; -1 otherwise, for a missing object, a
     *     failed lookup, a {@code null} name and any bit outside those five
     */
    public native int nisplusAccess(String objectName, int mode);

    // ---- Entry retrieval ----

    /**
     * Lists the entries that the criteria select and returns the first; the listing is kept in
     * the session for {@link #nisplusGetNextEntry}. Any earlier iteration of the session ends
     * first, whatever this call returns.
     *
     * @param handle an open session
     * @param criteria the NIS+ search prefix, written in front of the table name as it stands;
     *     {@code ""} lists the whole table
     * @return one string per column, in column order ({@code ""} for a column without a value);
     *     {@code null} when nothing matched, the listing failed, the handle is not open or the
     *     criteria are {@code null}: these cases cannot be told apart here
     */
    public native String[] nisplusGetFirstEntry(int handle, String criteria);

    /**
     * The next entry of the session's iteration. The call that steps past the last entry frees
     * the listing.
     *
     * @param handle an open session
     * @return the next entry as in {@link #nisplusGetFirstEntry}; {@code null} at the end, with no
     *     iteration under way, or for a handle that is not open
     */
    public native String[] nisplusGetNextEntry(int handle);

    /**
     * Every entry that the criteria select, in one flat array: entry j, column i at index
     * {@code j * columns + i}, where columns is the first entry's column count (shorter entries
     * are padded with {@code ""}). The session's iteration is left alone.
     *
     * @param handle an open session
     * @param criteria as for {@link #nisplusGetFirstEntry}
     * @return the flat array; {@code null} in the cases {@link #nisplusGetFirstEntry} lists
     */
    public native String[] nisplusGetAllEntries(int handle, String criteria);

    // ---- Entry updates ----

    /**
     * Adds an entry of the session's type to its table.
     *
     * @param handle an open session
     * @param values one value per column, in column order; each is sent with its terminating NUL
     * @return the NIS+ status as it is: 0 on success, for example 14 ({@code NIS_NAMEEXISTS}) for
     *     a duplicate; 23 for a handle that is not open, 36 for a {@code null} array or element
     */
    public native int nisplusAddEntry(int handle, String[] values);

    /**
     * Replaces columns of the one entry that the criteria select.
     *
     * @param handle an open session
     * @param criteria the NIS+ search prefix that selects the entry, as for
     *     {@link #nisplusGetFirstEntry}
     * @param column -1 changes every column, k &ge; 1 only the k-th (counted from 1), any other
     *     value none
     * @param values the entry's values, one per column, in column order
     * @return the NIS+ status as it is, 0 on success; 23 for a handle that is not open, 36 for a
     *     {@code null} criteria, array or element
     */
    public native int nisplusModifyEntry(int handle, String criteria, int column, String[] values);

    /**
     * Removes the entry (or entries) that the criteria select.
     *
     * @param handle an open session
     * @param criteria the NIS+ search prefix; {@code ""} names the whole table
     * @return the NIS+ status as it is, 0 on success; 23 for a handle that is not open, 36 for a
     *     {@code null} criteria
     */
    public native int nisplusDeleteEntry(int handle, String criteria);

    // ---- Host utilities (no session) ----

    /**
     * Tests a file with {@code access(2)}.
     *
     * @param path the file
     * @param mode the platform's access mask: {@code F_OK} 0, {@code X_OK} 1, {@code W_OK} 2,
     *     {@code R_OK} 4
     * @return 0, or the {@code errno} value, for example 2 ({@code ENOENT}); 22 ({@code EINVAL})
     *     for a {@code null} path or one holding U+0000
     */
    public native int fileAccess(String path, int mode);

    /**
     * Creates a file (or truncates an existing one) and gives it an owner and group. A new file
     * gets exactly {@code mode}, whatever the process file-creation mask; an existing file keeps
     * its permission bits. The mask itself is never changed, so other threads creating files are
     * not affected.
     *
     * <p>The path is resolved one component at a time, as for every call that changes files:
     * links are followed, but a step from a directory or link owned by a user other than root to
     * an object owned by someone else is refused (1, {@code EPERM}), so that a user who owns part
     * of the path (a home directory, a spool) cannot lead the call to another file with a link, a
     * hard link or a directory link; links owned by root are followed as usual. Only a regular
     * file is opened, never blocking: a FIFO, socket or device answers 6 ({@code ENXIO}) at once.
     * A refused path is left as it was.
     *
     * @param path the file
     * @param uid its new owner
     * @param gid its new group
     * @param mode permission bits of a new file, for example {@code 0640}
     * @return 0, or the {@code errno} value of the call that failed (ownership is left alone when
     *     the file could not be created); 1 ({@code EPERM}) for a refused step, 6 ({@code ENXIO})
     *     for a file that is not a regular file, 21 ({@code EISDIR}) for a directory, 40
     *     ({@code ELOOP}) for more than 40 links; 22 for a {@code null} path
     */
    public native int fileCreate(String path, int uid, int gid, int mode);

    /**
     * Removes a file, as {@code unlink(2)} would: a link at the end of the path is removed, not
     * its target. The directories on the way are resolved as for {@link #fileCreate}.
     *
     * @param path the file
     * @return 0, or the {@code errno} value; 1 ({@code EPERM}) for a refused step on the way;
     *     22 for a {@code null} path
     */
    public native int fileDelete(String path);

    /**
     * Copies owner, group and the nine permission bits of one file to another (links followed);
     * never the set-user-ID, set-group-ID or sticky bits, never contents. Both paths are resolved
     * as for {@link #fileCreate}, and owner and mode are set on the very file that was resolved.
     *
     * @param fromPath the file to copy from
     * @param toPath the file to change
     * @return 0, or the {@code errno} value of the first call that failed; 1 ({@code EPERM}) for
     *     a refused step in either path; 22 for a {@code null} path
     */
    public native int fileCopyStat(String fromPath, String toPath);

    /**
     * Orders two IPv4 addresses or partial network numbers as unsigned numbers. A number with
     * fewer than four parts is completed with zero parts ({@code 10} is {@code 10.0.0.0}).
     * Unparsable text (and {@code null}) orders as 255.255.255.255, above every address.
     *
     * @param a an address or network number, for example {@code 10} or {@code 10.0.0.1}
     * @param b another
     * @return 1 when {@code a} is above {@code b}, -1 when below, 0 when equal
     */
    public native int addressCompare(String a, String b);

    /**
     * The host's secure-RPC (NIS) domain name.
     *
     * @return the name, or {@code ""} when none is set
     */
    public native String getDomain();

    /**
     * The master server of a NIS map, asked of the NIS service with {@code yp_master}.
     *
     * @param domain the NIS domain
     * @param map the map, for example {@code hosts.byname}
     * @return the master's name, or {@code ""} on any failure (no such map, no server, a
     *     {@code null} argument); also, without asking, for a domain longer than 256 bytes or a
     *     map longer than 64 (the NIS limits), or either holding {@code /} or being {@code .} or
     *     {@code ..}, which would lead the NIS client to a binding file outside its own folder
     */
    public native String nisGetMaster(String domain, String map);
}

package com.zelt.management.tolvaimpl.services.directorytable;

import java.io.File;

/**
 * Java side of libnamestore: NIS+ table sessions, table administration, entry
 * retrieval and updates, and a few host utilities.
 *
 * <p>The library is loaded from the directory named by the system property
 * {@code zelt.native.dir} (default {@code /usr/lib/zelt}). No method throws:
 * every failure comes back as the method's failure value.
 */
public class DirectoryTableLibrary {
    public static final String LIBRARY_FILE = "libnamestore.so";

    static {
        System.load(new File(System.getProperty("zelt.native.dir", "/usr/lib/zelt"), LIBRARY_FILE)
                .getAbsolutePath());
    }

    // Table sessions: handle 0-31, or a negated NIS+ status.
    public native int nisplusOpenTable(String tableName, String tableType);

    public native void nisplusCloseTable(int handle);

    public native String nisplusGetErrorString(int status);

    // Table administration.
    public native int nisplusAddTable(String tableName, String tableType, int access,
            String[] columns, byte separator);

    public native int nisplusDeleteTable(String tableName);

    public native int nisplusAccess(String objectName, int mode);

    // Entry retrieval: one String per column, or null.
    public native String[] nisplusGetFirstEntry(int handle, String criteria);

    public native String[] nisplusGetNextEntry(int handle);

    public native String[] nisplusGetAllEntries(int handle, String criteria);

    // Entry updates: raw NIS+ status, 0 on success.
    public native int nisplusAddEntry(int handle, String[] values);

    public native int nisplusModifyEntry(int handle, String criteria, int column, String[] values);

    public native int nisplusDeleteEntry(int handle, String criteria);

    // Host utilities: file calls return 0 or errno.
    public native int fileAccess(String path, int mode);

    public native int fileCreate(String path, int uid, int gid, int mode);

    public native int fileDelete(String path);

    public native int fileCopyStat(String fromPath, String toPath);

    public native int addressCompare(String a, String b);

    public native String getDomain();

    public native String nisGetMaster(String domain, String map);
}

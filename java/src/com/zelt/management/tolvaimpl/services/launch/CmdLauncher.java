package com.zelt.management.tolvaimpl.services.launch;

import java.io.File;

/**
 * Starts a command-line program detached from the JVM under the given real
 * and effective user and group. Loads libCmdLauncher.so.1 from the directory
 * named by the system property {@code zelt.native.dir}.
 *
 * <p>{@code launchapp} returns once the program's exec has happened or failed
 * (as {@link ProcessBuilder#start()} does), never waiting for the program
 * itself; the program is not a child of the JVM.
 */
public class CmdLauncher {
    public static final String LIBRARY_FILE = "libCmdLauncher.so.1";

    static {
        System.load(new File(System.getProperty("zelt.native.dir", "/usr/lib/zelt"), LIBRARY_FILE)
                .getAbsolutePath());
    }

    /**
     * @param args program path (argument 0) and its arguments; null elements are skipped
     * @param env extra environment strings NAME=value, or null
     * @return 0 when the program's intermediate child was started and reaped, else -1
     */
    public native int launchapp(int launchFlag, int effectiveUser, int effectiveGroup,
            int realUser, int realGroup, String[] args, String[] env);
}

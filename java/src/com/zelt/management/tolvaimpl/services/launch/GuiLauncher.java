package com.zelt.management.tolvaimpl.services.launch;

import java.io.File;

/**
 * Starts a graphical application detached from the JVM under the given real
 * and effective user and group. Loads libGuiLauncher.so.1 from the directory
 * named by the system property {@code zelt.native.dir}.
 *
 * <p>{@code launchapp} returns once the program's exec has happened or failed
 * (as {@link ProcessBuilder#start()} does), never waiting for the program
 * itself; the program is not a child of the JVM.
 */
public class GuiLauncher {
    public static final String LIBRARY_FILE = "libGuiLauncher.so.1";

    static {
        System.load(new File(System.getProperty("zelt.native.dir", "/usr/lib/zelt"), LIBRARY_FILE)
                .getAbsolutePath());
    }

    /**
     * @param path the application to run, also its argument 0
     * @param env extra environment strings NAME=value, or null
     * @param args arguments 1 and up, or null; null elements are skipped
     * @return 0 when the application's intermediate child was started and reaped, else -1
     */
    public native int launchapp(int launchFlag, int effectiveUser, int effectiveGroup,
            int realUser, int realGroup, String path, String[] env, String[] args);
}

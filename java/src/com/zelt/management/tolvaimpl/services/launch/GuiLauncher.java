package com.zelt.management.tolvaimpl.services.launch;

import com.zelt.management.tolvaimpl.services.NativeLibraries;

/**
 * Starts a graphical (X) application detached from the JVM, under the real and effective user
 * and group the caller chooses. Java side of {@code libGuiLauncher}.
 *
 * <p>Loading, the launch itself, threads and strings are as described for {@link CmdLauncher},
 * with these differences: the application's path is passed apart from its arguments (the path
 * must not be {@code null}, the argument array may be), and an application that cannot be run
 * is reported with "execv error" and the system's error text on standard error. The library adds
 * no environment of its own: {@code DISPLAY}, {@code XAUTHORITY} and whatever else the
 * application needs must come in the extra environment.
 *
 * <p>As with {@link CmdLauncher}, the caller waits until the application's exec has happened or
 * failed, as with {@link ProcessBuilder#start()}, but never for the application itself, which is
 * not a child of the JVM.
 *
 * <h2>What the result does and does not tell</h2>
 * As for {@link CmdLauncher}: 0 means that the application's process was set going, not that the
 * application started or that it could open its display; failures after the fork only write a
 * message. -1 means that nothing ran (refused: a zero {@code launchFlag}, a {@code null} path,
 * a string holding U+0000, more than 1022 arguments, native memory exhausted; or the first fork
 * failed), or that waiting for the intermediate child failed and the outcome is unknown.
 */
public class GuiLauncher {
    /** File name of the native library, as it is looked for (see the class description). */
    public static final String LIBRARY_FILE = "libGuiLauncher.so.1";

    static {
        NativeLibraries.load(LIBRARY_FILE);
    }

    /** Creates a launcher; instances hold no state. */
    public GuiLauncher() {}

    /**
     * Starts a graphical application detached from the JVM.
     *
     * @param launchFlag 0 refuses the launch; any other value lets it go ahead
     * @param effectiveUser the application's effective user ID
     * @param effectiveGroup the application's effective group ID
     * @param realUser the application's real user ID
     * @param realGroup the application's real group ID
     * @param path the application's full path, also its argument 0 ({@code PATH} is not
     *     searched); must not be {@code null}
     * @param env extra environment strings {@code NAME=value}, or {@code null};
     *     {@code null} elements are skipped
     * @param args arguments 1 and up, or {@code null} for none; {@code null} elements are skipped;
     *     at most 1022 non-null elements
     * @return 0 when the application's process was set going, -1 when nothing was started or the
     *     outcome is unknown
     */
    public native int launchapp(int launchFlag, int effectiveUser, int effectiveGroup,
            int realUser, int realGroup, String path, String[] env, String[] args);
}

package com.zelt.management.tolvaimpl.services.launch;

import com.zelt.management.tolvaimpl.services.NativeLibraries;

/**
 * Starts a command-line program detached from the JVM, under the real and effective user and
 * group the caller chooses. Java side of {@code libCmdLauncher}.
 *
 * <h2>Loading</h2>
 * The class loads {@value #LIBRARY_FILE} with {@link System#load} from the directory named by the
 * system property {@code zelt.native.dir}, or else from the first absolute directory of
 * {@code java.library.path} that holds it (on Debian, {@code /usr/lib/<multiarch>/jni}). A
 * missing library makes class initialisation fail with {@link UnsatisfiedLinkError};
 * {@link #launchapp} itself never throws.
 *
 * <h2>What a launch does</h2>
 * The JVM starts a short-lived child, which starts the program's process (the grandchild) and
 * ends as soon as the grandchild has replaced itself with the program or failed to; the calling
 * thread waits for that child and returns. So the caller waits until the program's exec has
 * happened or failed, as with {@link ProcessBuilder#start()}, but never for the program itself.
 * Nobody in the JVM waits for the program: it is re-parented by the system and leaves no zombie
 * behind. The program's environment is the JVM's at the time of the call with the extra
 * environment strings applied in array order (a later string for the same name wins; a bare
 * {@code NAME} removes that variable); the JVM's own environment is left as it was. Before it
 * replaces itself with the program, the grandchild
 * <ul>
 *   <li>closes every descriptor from 3 up; standard input, output and error are the JVM's
 *       own;</li>
 *   <li>when the JVM runs as root and the program is to run as another user, takes the
 *       supplementary groups of the program's real user (only its real group when that user is
 *       unknown) instead of the JVM's, so it never keeps root's groups;</li>
 *   <li>calls {@code setregid(realGroup, effectiveGroup)}, then
 *       {@code setreuid(realUser, effectiveUser)}, with the values unchanged;</li>
 *   <li>runs the program with {@code execv}: its path is used as given, {@code PATH} is not
 *       searched.</li>
 * </ul>
 * Working directory, file-creation mask and session are the JVM's; signals the JVM ignores stay
 * ignored, handled ones are reset to their defaults, and the program starts with no signal
 * blocked.
 *
 * <h2>What the result does and does not tell</h2>
 * 0 means that the program's process was set going: the intermediate child was created and
 * reaped, after the program's exec happened or failed. It does <em>not</em> tell that the
 * program started, nor how it ended. A failure in the children only writes a message, to the
 * JVM's own standard error unless noted: "second fork failed" (no program; the call still returns
 * 0), "setgroups failed", "setregid failed" or "setreuid failed" (the program is not started), and
 * "execv error" on standard output when the program cannot be run (the grandchild then exits with
 * status 127). Callers that need to know
 * whether the program ran must watch for its effects.
 *
 * <p>-1 means that nothing ran, or that the outcome is unknown: the launch was refused (a zero
 * {@code launchFlag}, a {@code null} argument array, a string holding U+0000, more than 1023
 * arguments, native memory exhausted), the first fork failed ("fork failed" on standard error),
 * or waiting for the intermediate child failed ("wait for first child error"; the program may
 * already be running).
 *
 * <h2>Threads and strings</h2>
 * Any number of threads may launch at once; the library keeps no state. A call blocks only its
 * own thread, until the intermediate child has exited. Every Java string is read in the calling
 * thread before the first fork, as standard UTF-8 (the bytes the program receives); no JNI call
 * and no lock is taken in the children.
 */
public class CmdLauncher {
    /** File name of the native library, as it is looked for (see the class description). */
    public static final String LIBRARY_FILE = "libCmdLauncher.so.1";

    static {
        NativeLibraries.load(LIBRARY_FILE);
    }

    /** Creates a launcher; instances hold no state. */
    public CmdLauncher() {}

    /**
     * Starts a program detached from the JVM.
     *
     * @param launchFlag 0 refuses the launch; any other value lets it go ahead
     * @param effectiveUser the program's effective user ID
     * @param effectiveGroup the program's effective group ID
     * @param realUser the program's real user ID
     * @param realGroup the program's real group ID
     * @param args the program's full path (which is also its argument 0), then its arguments;
     *     {@code null} elements are skipped, the others packed together; at most 1023 non-null
     *     elements; must not be {@code null}
     * @param env extra environment strings {@code NAME=value}, or {@code null};
     *     {@code null} elements are skipped
     * @return 0 when the program's process was set going (see the class description for what that
     *     does not tell), -1 when nothing was started or the outcome is unknown
     */
    public native int launchapp(int launchFlag, int effectiveUser, int effectiveGroup,
            int realUser, int realGroup, String[] args, String[] env);
}

// libCmdLauncher: starts a command-line program detached from the JVM, as a
// grandchild under the real and effective user and group the caller names.
#include <jni.h>

#include "detached_launch.h"
#include "java_strings.h"

extern "C" JNIEXPORT jint JNICALL
Java_com_zelt_management_tolvaimpl_services_launch_CmdLauncher_launchapp(
    JNIEnv* env, jobject /*self*/, jint launchFlag, jint effectiveUser, jint effectiveGroup,
    jint realUser, jint realGroup, jobjectArray args, jobjectArray environment) {
  if (launchFlag == 0 || args == nullptr) return -1;

  launch::LaunchPlan plan(effectiveUser, effectiveGroup, realUser, realGroup);
  plan.separatePath = false;
  plan.execFailure = launch::ExecFailureReport::kStdoutLine;

  // Everything is read here, in the caller's thread, before the first fork.
  // The first packed argument is the program's path and its argument 0.
  if (!launch::java::readStringArray(env, args, launch::kVectorSlots - 1, &plan.args) ||
      !launch::java::readEnvironment(env, environment, &plan)) {
    return -1;
  }
  return launch::launchDetached(&plan);
}

// libGuiLauncher: starts a graphical application detached from the JVM, as
// a grandchild under the real and effective user and group the caller
// names. Whatever the application needs (DISPLAY and the like) arrives
// through the extra environment; the library adds none.
#include <jni.h>

#include "detached_launch.h"
#include "java_strings.h"

extern "C" JNIEXPORT jint JNICALL
Java_com_zelt_management_tolvaimpl_services_launch_GuiLauncher_launchapp(
    JNIEnv* env, jobject /*self*/, jint launchFlag, jint effectiveUser, jint effectiveGroup,
    jint realUser, jint realGroup, jstring path, jobjectArray environment, jobjectArray args) {
  if (launchFlag == 0 || path == nullptr) return -1;

  launch::LaunchPlan plan(effectiveUser, effectiveGroup, realUser, realGroup);
  plan.separatePath = true;
  plan.execFailure = launch::ExecFailureReport::kStderrWithText;

  // Everything is read here, in the caller's thread, before the first fork.
  if (!launch::java::readString(env, path, &plan.path)) return -1;
  // The path takes slot 0 of the vector, so the arguments get one less.
  if (args != nullptr &&
      !launch::java::readStringArray(env, args, launch::kVectorSlots - 2, &plan.args)) {
    return -1;
  }
  if (!launch::java::readEnvironment(env, environment, &plan)) return -1;
  return launch::launchDetached(&plan);
}

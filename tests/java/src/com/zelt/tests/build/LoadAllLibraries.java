package com.zelt.tests.build;

import com.zelt.management.tolvaimpl.services.directorytable.DirectoryTableLibrary;
import com.zelt.management.tolvaimpl.services.launch.CmdLauncher;
import com.zelt.management.tolvaimpl.services.launch.GuiLauncher;

/** Child-JVM entry point: loads the three libraries and prints OK. */
public final class LoadAllLibraries {
    private LoadAllLibraries() {}

    public static void main(String[] args) {
        new DirectoryTableLibrary();
        new CmdLauncher();
        new GuiLauncher();
        System.out.println("LOADED");
    }
}

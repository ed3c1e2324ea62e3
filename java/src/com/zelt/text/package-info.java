/**
 * Text helpers that the command-line tool and the guided tour share: aligned
 * tables for the terminal and the system's errno texts. They depend on
 * neither, so neither depends on the other.
 */
package com.zelt.text;

package com.zelt.tests.host;

import static com.zelt.tests.host.HostFiles.LIB;
import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

/** addressCompare: unsigned order of addresses and partial network numbers. */
class AddressCompareTest {
    private static void assertOrder(int expected, String a, String b) {
        assertEquals(expected, LIB.addressCompare(a, b), a + " vs " + b);
        assertEquals(-expected, LIB.addressCompare(b, a), b + " vs " + a);
    }

    @Test
    void networkNumbersGetAZeroHostPart() {
        assertOrder(-1, "10", "10.0.0.1");
        assertOrder(0, "129.144", "129.144.0.0");
        assertOrder(0, "10", "10.0.0.0");
        assertOrder(0, "192.168.4", "192.168.4.0");
        // Not inet_addr's short form, which would read 129.144 as 129.0.0.144.
        assertOrder(1, "129.144", "129.0.0.144");
        assertOrder(-1, "129.143.255", "129.144");
    }

    @Test
    void orderIsUnsigned() {
        assertOrder(1, "192.168.1.1", "10.0.0.1");
        assertOrder(1, "128.0.0.0", "127.255.255.255");
        assertOrder(-1, "0.0.0.0", "255.255.255.254");
        assertOrder(0, "10.1.2.3", "10.1.2.3");
        assertOrder(-1, "10.1.2.3", "10.1.2.4");
    }

    @Test
    void unparsableTextSortsWithTheBroadcastAddressAboveEverythingElse() {
        assertOrder(0, "not-an-address", "255.255.255.255");
        assertOrder(1, "not-an-address", "255.255.255.254");
        assertOrder(0, "not-an-address", "256.1.1.1");
        assertOrder(0, "", "x");
        assertOrder(0, "\uff11\uff10", "junk"); // full-width digits are not digits
    }

    @Test
    void nullAndEmbeddedNulAreUnparsable() {
        assertOrder(0, null, "255.255.255.255");
        assertOrder(1, null, "223.1.1.1");
        assertEquals(0, LIB.addressCompare(null, null));
        // Only the text before U+0000 would read as 10.0.0.0.
        assertOrder(1, "10\u0000", "10");
        assertOrder(0, "10\u0000.1", "255.255.255.255");
    }

    @Test
    void textTooLongForTheBufferIsUnparsableNeverTruncated() {
        // Leading zeros keep each part a valid (octal) number: 010 is 8.
        String noDot = "0".repeat(55) + "10";
        assertOrder(0, noDot, "8");
        assertOrder(1, "0" + noDot, "8");
        assertOrder(0, "0" + noDot, "255.255.255.255");
        String oneDot = "1." + "0".repeat(55) + "10";
        assertOrder(0, oneDot, "1.8");
        assertOrder(1, "1.0" + oneDot.substring(2), "1.8");
        String twoDots = "1.2." + "0".repeat(55) + "10";
        assertOrder(0, twoDots, "1.2.8");
        assertOrder(1, "1.2.0" + twoDots.substring(4), "1.2.8");
        String threeDots = "1.2.3." + "0".repeat(55) + "10";
        assertOrder(0, threeDots, "1.2.3.8");
        assertOrder(1, "1.2.3.0" + threeDots.substring(6), "1.2.3.8");
        assertOrder(1, "1".repeat(1 << 20), "1.2.3.4");
        assertOrder(0, ".".repeat(100000), "255.255.255.255");
    }
}

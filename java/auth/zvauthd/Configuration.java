// Configuration.java - the daemon's group manager settings. The library reads
// these static fields by name and type at start-up, so their names and types
// are fixed; the values are the library's own defaults unless overridden.
package auth.zvauthd;

import java.util.Properties;

public final class Configuration {
    static int gmport = 7009;
    static int gmKeepAliveInterval = 20;
    static boolean allowLANConnections = false;
    static boolean enableMulticast = true;
    static boolean enableGroupManager = true;
    static String multicastAddress = "224.101.101.101";
    static int multicastTTL = 1;
    static boolean enableLoadBalancing = false;
    static int gmDebug = 0;
    static String gmSignatureFile = "";

    private Configuration() {}

    /** Overrides the settings named in props (keys are the field names). */
    static void load(Properties props) {
        gmport = intOf(props, "gmport", gmport);
        gmKeepAliveInterval = intOf(props, "gmKeepAliveInterval", gmKeepAliveInterval);
        allowLANConnections = boolOf(props, "allowLANConnections", allowLANConnections);
        enableMulticast = boolOf(props, "enableMulticast", enableMulticast);
        enableGroupManager = boolOf(props, "enableGroupManager", enableGroupManager);
        multicastAddress = props.getProperty("multicastAddress", multicastAddress);
        multicastTTL = intOf(props, "multicastTTL", multicastTTL);
        enableLoadBalancing = boolOf(props, "enableLoadBalancing", enableLoadBalancing);
        gmDebug = intOf(props, "gmDebug", gmDebug);
        gmSignatureFile = props.getProperty("gmSignatureFile", gmSignatureFile);
    }

    private static int intOf(Properties props, String key, int dflt) {
        String v = props.getProperty(key);
        if (v == null) return dflt;
        try {
            return Integer.parseInt(v.trim());
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException(key + " is not an integer: " + v);
        }
    }

    // Strict, so that a typo cannot quietly turn group networking on or off.
    private static boolean boolOf(Properties props, String key, boolean dflt) {
        String v = props.getProperty(key);
        if (v == null) return dflt;
        switch (v.trim()) {
            case "true": return true;
            case "false": return false;
            default: throw new IllegalArgumentException(key + " is not true or false: " + v);
        }
    }
}

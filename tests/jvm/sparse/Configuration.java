// Configuration.java - an older daemon's settings class for the start-up
// test: most settings are missing, one has another type, one string is null.
package auth.zvauthd;

import java.util.Properties;

public final class Configuration {
    static long gmport = 1;
    static boolean enableGroupManager = false;
    static String multicastAddress = null;
    static int gmDebug = 1;

    private Configuration() {}

    static void load(Properties props) {}
}

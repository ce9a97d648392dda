// GroupManager.java - the natives of the group manager library, as the
// daemon sees them. groupManager() occupies its calling thread for good.
package auth.zvauthd;

public final class GroupManager {
    private GroupManager() {}

    public static native String groupManager();

    public static native String whichServer(String ctoken, String itoken, String ip, String force);

    public static native String findPrimary(String term, String ip);

    public static native boolean claimToken(String token);

    public static native boolean disclaimToken(String token);

    public static native int groupNumHosts();

    public static native String groupHostLine(int hostnum);

    public static native String groupLoadLine(int hostnum);

    public static native int groupNumIfs(int hostnum);

    public static native String groupIntfLine(int hostnum, int intfnum);

    public static native String sessionList(String ctoken, String itoken, String ip);

    public static native boolean isNetworkAllowed(long ipa);
}

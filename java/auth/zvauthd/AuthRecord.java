// AuthRecord.java - the terminals attached to this server, as far as the
// group manager asks about them (its terminal queries call gotTerminal).
package auth.zvauthd;

import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;

public final class AuthRecord {
    private static final Set<String> attached = ConcurrentHashMap.newKeySet();

    private AuthRecord() {}

    /** Called by the library on its manager thread: 1 when term is attached here, else 0. */
    public static int gotTerminal(String term) {
        return term != null && attached.contains(term) ? 1 : 0;
    }

    static void attach(String term) {
        attached.add(term);
    }

    static void detach(String term) {
        attached.remove(term);
    }
}

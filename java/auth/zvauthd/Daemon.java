// Daemon.java - the authentication daemon as far as the group manager needs
// one: loads the library, gives it a thread, and serves an admin console on
// standard input that calls the natives (one reply per line, ended by ".").
package auth.zvauthd;

import java.io.BufferedReader;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.Properties;
import java.util.concurrent.BrokenBarrierException;
import java.util.concurrent.CyclicBarrier;

public final class Daemon {
    private static final PrintStream out = System.out;
    private static final int MAX_HOSTS = 101; // the group table's slots

    private Daemon() {}

    public static void main(String[] args) throws InterruptedException {
        if (args.length != 1) {
            System.err.println("usage: Daemon <properties-file>");
            System.exit(2);
        }
        try {
            Properties props = new Properties();
            try (FileInputStream in = new FileInputStream(args[0])) {
                props.load(in);
            }
            String library = props.getProperty("library");
            if (library == null) throw new IllegalArgumentException("no library= in " + args[0]);
            Configuration.load(props);
            System.load(library.trim());
        } catch (IOException | RuntimeException | UnsatisfiedLinkError e) {
            System.err.println("zvauthd: " + e.getMessage());
            System.exit(2);
        }

        Thread manager = new Thread(Daemon::runManager, "group-manager");
        manager.start();
        serve();
        // End of input: the daemon lives on with its group manager until killed.
        Object forever = new Object();
        synchronized (forever) {
            for (;;) forever.wait();
        }
    }

    private static void runManager() {
        String why;
        try {
            why = GroupManager.groupManager();
        } catch (Throwable t) {
            why = t.toString();
        }
        synchronized (out) {
            out.println("groupManager failed: " + why);
            out.flush();
        }
    }

    private static void serve() {
        reply(List.of("ready"), false);
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        for (;;) {
            String line;
            try {
                line = in.readLine();
            } catch (IOException e) {
                return;
            }
            if (line == null) return;
            String[] words = line.trim().split("\\s+");
            if (words[0].equals("quit")) System.exit(0);
            List<String> lines = new ArrayList<>();
            try {
                command(words, lines);
            } catch (IllegalArgumentException e) {
                lines.clear();
                lines.add("error " + e.getMessage());
            } catch (Exception | LinkageError e) {
                lines.clear();
                lines.add("error " + e);
            }
            reply(lines, true);
        }
    }

    private static void reply(List<String> lines, boolean end) {
        StringBuilder b = new StringBuilder();
        for (String l : lines) b.append(l).append('\n');
        if (end) b.append(".\n");
        synchronized (out) {
            out.print(b);
            out.flush();
        }
    }

    private static void command(String[] w, List<String> r) {
        switch (w[0]) {
            case "numhosts":
                args(w, 0);
                r.add("numhosts " + GroupManager.groupNumHosts());
                break;
            case "host":
                args(w, 1);
                r.add(chomp(GroupManager.groupHostLine(num(w[1]))));
                break;
            case "load":
                args(w, 1);
                r.add(chomp(GroupManager.groupLoadLine(num(w[1]))));
                break;
            case "numifs":
                args(w, 1);
                r.add("numifs " + GroupManager.groupNumIfs(num(w[1])));
                break;
            case "intf":
                args(w, 2);
                r.add(chomp(GroupManager.groupIntfLine(num(w[1]), num(w[2]))));
                break;
            case "status":
                args(w, 0);
                status(r);
                break;
            case "which":
                args(w, 4);
                r.add("which " + GroupManager.whichServer(text(w[1]), text(w[2]), text(w[3]), text(w[4])));
                break;
            case "parallel":
                args(w, 6);
                if (!w[2].equals("which")) throw new IllegalArgumentException("parallel runs which only");
                parallelWhich(num(w[1]), text(w[3]), text(w[4]), text(w[5]), text(w[6]), r);
                break;
            case "primary":
                args(w, 2);
                r.add("primary " + GroupManager.findPrimary(text(w[1]), text(w[2])));
                break;
            case "sessions":
                args(w, 3);
                for (String l : GroupManager.sessionList(text(w[1]), text(w[2]), text(w[3])).split("\n"))
                    if (!l.isEmpty()) r.add(l);
                break;
            case "allowed":
                args(w, 1);
                r.add("allowed " + GroupManager.isNetworkAllowed(address(w[1])));
                break;
            case "claim":
                args(w, 1);
                r.add("claim " + GroupManager.claimToken(text(w[1])));
                break;
            case "disclaim":
                args(w, 1);
                r.add("disclaim " + GroupManager.disclaimToken(text(w[1])));
                break;
            case "attach":
                args(w, 1);
                AuthRecord.attach(text(w[1]));
                r.add("attached " + w[1]);
                break;
            case "detach":
                args(w, 1);
                AuthRecord.detach(text(w[1]));
                r.add("detached " + w[1]);
                break;
            default:
                r.add("error unknown command");
        }
    }

    // Many daemon threads in whichServer at the same time: each waits at the
    // barrier so that their lookups overlap; the answers come in thread order.
    private static void parallelWhich(int n, String c, String i, String ip, String f, List<String> r) {
        if (n < 1 || n > 256) throw new IllegalArgumentException("thread count out of range: " + n);
        String[] answers = new String[n];
        CyclicBarrier start = new CyclicBarrier(n);
        Thread[] threads = new Thread[n];
        for (int t = 0; t < n; t++) {
            final int slot = t;
            threads[t] = new Thread(() -> {
                try {
                    start.await();
                    answers[slot] = "which " + GroupManager.whichServer(c, i, ip, f);
                } catch (InterruptedException | BrokenBarrierException e) {
                    answers[slot] = "error " + e;
                }
            }, "which-" + t);
            threads[t].start();
        }
        for (Thread t : threads) {
            try {
                t.join();
            } catch (InterruptedException e) {
                throw new IllegalArgumentException("interrupted");
            }
        }
        for (String a : answers) r.add(a == null ? "error no answer" : a);
    }

    // Never calls groupNumHosts, so it answers at once even during the start grace.
    private static void status(List<String> r) {
        for (int i = 0; i < MAX_HOSTS; i++) {
            String host = chomp(GroupManager.groupHostLine(i));
            if (host.equals("Hostnum out of range")) return;
            r.add(host);
            r.add(chomp(GroupManager.groupLoadLine(i)));
            int n = GroupManager.groupNumIfs(i);
            for (int j = 0; j < n; j++) r.add("  " + chomp(GroupManager.groupIntfLine(i, j)));
        }
    }

    private static void args(String[] w, int n) {
        if (w.length != n + 1)
            throw new IllegalArgumentException(w[0] + " takes " + n + " argument" + (n == 1 ? "" : "s"));
    }

    private static String text(String word) {
        return word.equals("-") ? "" : word;
    }

    private static String chomp(String s) {
        return s.endsWith("\n") ? s.substring(0, s.length() - 1) : s;
    }

    private static int num(String word) {
        try {
            return Integer.parseInt(word);
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("not a number: " + word);
        }
    }

    /** A dotted IPv4 address as the long of its 32 bits (first octet most significant), or a decimal long. */
    static long address(String word) {
        String[] octets = word.split("\\.", -1);
        if (octets.length == 1) {
            try {
                return Long.parseLong(word);
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException("not an address: " + word);
            }
        }
        if (octets.length != 4) throw new IllegalArgumentException("not an address: " + word);
        long a = 0;
        for (String o : octets) {
            int v;
            try {
                v = Integer.parseInt(o);
            } catch (NumberFormatException e) {
                v = -1;
            }
            if (v < 0 || v > 255 || !o.matches("[0-9]+"))
                throw new IllegalArgumentException("not an address: " + word);
            a = (a << 8) | v;
        }
        return a;
    }
}

// A read's file under a hostile neighbour: each case as root and as the
// guest (nobody), in d/, the caller's directory; daemon is the neighbour.
// The scripts run as root: "before" sets up (and may end in a command that
// runs the read), $Q reads the chip into $F (d/b.hex) as the caller, its exit
// code is printed, "after" looks; $ME is the caller, $OTHER the neighbour.
#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using namespace messages;

const std::string kPort = "/nonexistent/quillet-port";
const std::string kRefused = messages::kBanner + ">>> Error in file d/b.hex: ";
const std::string kCanceled = ". Reading canceled!\n";
const std::string kDone = kDisconnect + kEoj;

struct Case {
    const char* name;
    std::string before, after, out, tail;  // tail: the end of standard error
};

const std::string kScript =
    "; OTHER=daemon; F=d/b.hex; echo precious >other; mkdir d; chown $ME d; ";

// Runs the cases as root, then as the guest, where needs succeeds (see
// guestCan); asRoot is out and tail of the first case as root, where they
// differ.
void runAsRootAndGuest(const std::vector<Case>& rows, const std::string& needs = "true",
                       const Case& asRoot = {}) {
    if (!e2e::guestCan(testing::UnitTest::GetInstance()->current_test_info()->name(), needs))
        return;
    for (const e2e::Guest& as :
         {e2e::Guest{"", "root", QUILLET_BINARY, VTARGET_LIBRARY, ""}, e2e::guest()}) {
        for (const Case& row : rows) {
            std::string q = "Q=\"" + as.as + as.binary + " --port=" + kPort + "\"; ME=" + as.name;
            std::string script = q + kScript + row.before + " $Q --read $F; echo $?; " + row.after;
            e2e::Outcome outcome = e2e::run({script, "port=" + kPort, {}, !as.as.empty()});
            const Case& want = as.as.empty() && &row == &rows[0] && asRoot.name ? asRoot : row;
            std::size_t size = std::min(outcome.err.size(), want.tail.size());
            EXPECT_EQ(outcome.out, want.out) << row.name << " as " << as.name;
            EXPECT_EQ(outcome.err.substr(outcome.err.size() - size), want.tail) << row.name;
        }
    }
}

// Another user's link is refused before the port opens, however reached.
TEST(BackupFile, FollowsOnlyTheCallersLinks) {
    const std::string daemons =
        " is a symbolic link of daemon (uid 1), and only links of yours or root's are followed" +
        kCanceled;
    runAsRootAndGuest({
        {"InAStickyDirectory",
         "chown 0 d; chmod 1777 d; ln -s ../other d/b.hex; chown -h $OTHER d/b.hex;",
         "cat other; ls -A d", "4\nprecious\nb.hex\n", kRefused + "d/b.hex" + daemons},
        {"ThroughTheCallersLink",
         "ln -s ../other d/x; chown -h $OTHER d/x; ln -s x d/b.hex; chown -h $ME d/b.hex;",
         "cat other", "4\nprecious\n", kRefused + "x" + daemons},
    });
}

TEST(BackupFile, RefusesAClosedStandardOutput) {
    runAsRootAndGuest({{"ReadToIt", "F=-; c() { \"$@\" >&-; }; c", "", "4\n",
                        kBanner +
                            ">>> Error writing standard output: it was closed when "
                            "quillet started, so the backup would go nowhere" +
                            kCanceled}});
}

// The replaced file's access control list and user attributes stay, and
// the group gains nothing; a directory's default list that the replaced
// file did not have is not taken.
TEST(BackupFile, KeepsAclAndAttributes) {
    const std::string file = "echo old >d/b.hex; chown $ME: d/b.hex; ";
    runAsRootAndGuest(
        {{"Carried",
          file + "chmod 640 d/b.hex; setfacl -m u:daemon:r,g::-,m::r d/b.hex; "
                 "setfattr -n user.note -v kept d/b.hex;",
          "getfacl -cp d/b.hex; getfattr -n user.note --only-values d/b.hex; stat -c %a d/b.hex",
          "0\nuser::rw-\nuser:daemon:r--\ngroup::---\nmask::r--\nother::---\n\nkept640\n", kDone},
         {"DefaultNotTaken", file + "chmod 600 d/b.hex; setfacl -dm u:daemon:rw d;",
          "getfacl -cp d/b.hex", "0\nuser::rw-\ngroup::---\nother::---\n\n", kDone}},
        "f=$(mktemp) && setfacl -m u:daemon:r $f && setfattr -n user.a -v 1 $f && rm $f");
}

// Another user who takes every name of the run's PID cannot stop it; it
// removes the leftovers of killed runs of the caller's, and not another
// user's, a newer one, one a live run holds, or one of another pattern.
TEST(BackupFile, TakesRandomNamesAndRemovesLeftovers) {
    runAsRootAndGuest({
        {"PidsNamesTaken",
         "p() { sh -c \"i=0; while [ \\$i -lt 100 ]; do : >d/.quillet-\\$\\$-\\$i.tmp; "
         "i=\\$((i+1)); done; chown $OTHER d/.q*; exec $*\"; }; p",
         "ls -A d | wc -l", "0\n101\n", kDone},
        {"Leftovers",
         "for n in AAAAAA BBBBBB CCCCCC DDDDDD EEEEE; do echo x >d/.quillet-$n.tmp; done; "
         "touch -d 2001-01-01 d/.q*; touch -d 2099-01-01 d/.quillet-DDDDDD.tmp; chown $ME d/.q*; "
         "chown $OTHER d/.quillet-BBBBBB.tmp; flock d/.quillet-CCCCCC.tmp",
         "ls -A d",
         "0\n.quillet-BBBBBB.tmp\n.quillet-CCCCCC.tmp\n.quillet-DDDDDD.tmp\n.quillet-EEEEE.tmp\n"
         "b.hex\n",
         kDone},
    });
}

// Another user's file in a sticky directory is refused before the port
// opens, where the caller may not replace it (root may), and so is a file
// that no one may replace.
TEST(BackupFile, ChecksTheRenameFirst) {
    runAsRootAndGuest(
        {{"OthersFile", "chown 0 d; chmod 1777 d; echo theirs >d/b.hex; chown $OTHER d/b.hex;",
          "grep -c : d/b.hex", "4\n0\n",
          kRefused +
              "d/b.hex belongs to daemon (uid 1), in a sticky directory where only its "
              "owner may replace it" +
              kCanceled},
         {"AppendOnly", "echo mine >d/b.hex; chown $ME d/b.hex; chattr +a d/b.hex;",
          "chattr -a d/b.hex; cat d/b.hex", "4\nmine\n",
          kRefused +
              "d/b.hex is immutable or append-only (chattr +i or +a), so no one may "
              "replace it" +
              kCanceled}},
        "f=$(mktemp) && chattr +a $f && chattr -a $f && rm $f",
        {"OthersFile", "", "", "0\n65\n", kDone});
}

}  // namespace

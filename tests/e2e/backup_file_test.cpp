// A read's file under a hostile neighbour. Each case runs as root and as the
// guest (nobody), in d/, a directory of the caller's; daemon is the
// neighbour. The scripts run as root: $Q is quillet as the caller, $ME the
// caller and $OTHER the neighbour. erased.hex is the backup of the erased
// flash; other holds "precious".
#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using namespace messages;

const std::string kPort = "/nonexistent/quillet-port";
const std::string kBackup = "; echo $?; cmp erased.hex d/b.hex && ";
const std::string kCanceled = ". Reading canceled!\n";
const std::string kAcl = "user::rw-\nuser:daemon:r--\ngroup::---\nmask::r--\nother::---\n\n";
// A read that waits at its prompt until "echo >&3; echo >&3; exec 3>&-; wait".
const std::string kHeld =
    "mkfifo go; $Q --read d/b.hex <go 2>/dev/null & exec 3>go; "
    "until ls -A d | grep -q tmp || ! kill -0 $! 2>/dev/null; do :; done; ";

struct Case {
    const char* name;
    std::string script, out, tail;  // tail: the end of standard error
};
// Out and tail as root, by case, where they differ.
using AsRoot = std::map<std::string, std::pair<std::string, std::string>>;

std::map<std::string, std::string> fixtures() {
    std::string erased;
    for (unsigned a = 0; a < 1024; a += 16)
        erased += e2e::record(a, std::string(16, '\xFF'));
    return {{"erased.hex", erased + e2e::kEndRecord}, {"other", "precious\n"}};
}

template <std::size_t N>
void runAsRootAndGuest(const Case (&rows)[N], const AsRoot& asRoot = {}) {
    if (!e2e::guestCan(testing::UnitTest::GetInstance()->current_test_info()->name())) return;
    const e2e::Guest& guest = e2e::guest();
    for (bool asGuest : {false, true}) {
        std::string me = asGuest ? guest.name : "root";
        std::string q = (asGuest ? guest.as + guest.binary : QUILLET_BINARY) + " --port=" + kPort;
        for (const Case& row : rows) {
            e2e::Outcome outcome =
                e2e::run({"Q=\"" + q + "\"; ME=" + me + "; OTHER=daemon; mkdir d; chown $ME d; " +
                              row.script,
                          "port=" + kPort, fixtures(), asGuest});
            bool root = !asGuest && asRoot.count(row.name) != 0;
            EXPECT_EQ(outcome.out, root ? asRoot.at(row.name).first : row.out)
                << row.name << " as " << me;
            const std::string& tail = root ? asRoot.at(row.name).second : row.tail;
            std::size_t size = std::min(outcome.err.size(), tail.size());
            EXPECT_EQ(outcome.err.substr(outcome.err.size() - size), tail)
                << row.name << " as " << me;
        }
    }
}

// Another user's link is refused before the port opens, however it is
// reached; the caller's own is followed, and stays.
TEST(BackupFile, FollowsOnlyTheCallersLinks) {
    const std::string refused = kBanner + ">>> Error in file d/b.hex: ";
    const std::string daemons =
        " is a symbolic link of daemon (uid 1), and only links of yours "
        "or root's are followed" +
        kCanceled;
    const Case rows[] = {
        {"InAStickyDirectory",
         "chown 0 d; chmod 1777 d; ln -s ../other d/b.hex; chown -h $OTHER d/b.hex; $Q --read "
         "d/b.hex; "
         "echo $?; cat other; ls -A d",
         "4\nprecious\nb.hex\n", refused + "d/b.hex" + daemons},
        {"InAGroupsDirectory",
         "chgrp 100 d; chmod 2770 d; echo mine >mine; chown $ME mine; chmod 600 mine; "
         "ln -s ../mine d/b.hex; chown -h $OTHER:100 d/b.hex; $Q --read d/b.hex; echo $?; cat mine",
         "4\nmine\n", refused + "d/b.hex" + daemons},
        {"ThroughTheCallersLink",
         "ln -s ../other d/x; chown -h $OTHER d/x; ln -s x d/b.hex; chown -h $ME d/b.hex; "
         "$Q --read d/b.hex; echo $?; cat other",
         "4\nprecious\n", refused + "x" + daemons},
        {"TheCallersOwn",
         "ln -s ../other d/b.hex; chown -h $ME d/b.hex; $Q --read d/b.hex; echo $?; "
         "cmp erased.hex other && test -L d/b.hex && ls -A d",
         "0\nb.hex\n", kDisconnect + kEoj},
    };
    runAsRootAndGuest(rows);
}

// A backup into a standard output closed at start would go nowhere.
TEST(BackupFile, RefusesAClosedStandardOutput) {
    const Case rows[] = {
        {"ReadToIt", "$Q --read - >&-; echo $?", "4\n",
         kBanner +
             ">>> Error writing standard output: it was closed when quillet started, so "
             "the backup would go nowhere" +
             kCanceled},
        {"ReadToAFile", "$Q --read d/b.hex >&-" + kBackup + "ls -A d", "0\nb.hex\n",
         kDisconnect + kEoj},
    };
    runAsRootAndGuest(rows);
}

// The replaced file's access control list and user attributes stay, and the
// group gains nothing; a default list of the directory that the file did
// not have is not given to the backup.
TEST(BackupFile, KeepsAclAndAttributes) {
    if (std::system("f=$(mktemp) && setfacl -m u:daemon:r $f && setfattr -n user.a -v 1 $f; "
                    "r=$?; rm -f $f; exit $r") != 0 &&
        !e2e::guestCan("KeepsAclAndAttributes: no setfacl or setfattr, or no ACL or user "
                       "attributes on /tmp's file system")) {
        return;
    }
    const Case rows[] = {
        {"Carried",
         "echo old >d/b.hex; chown $ME: d/b.hex; chmod 640 d/b.hex; setfacl -m "
         "u:daemon:r,g::-,m::r d/b.hex; setfattr -n user.note -v kept d/b.hex; $Q --read d/b.hex" +
             kBackup +
             "getfacl -cp d/b.hex; getfattr -n user.note --only-values d/b.hex; echo; "
             "stat -c %a d/b.hex",
         "0\n" + kAcl + "kept\n640\n", kDisconnect + kEoj},
        {"DefaultNotTaken",
         "setfacl -d -m u:daemon:rw d; echo old >d/b.hex; setfacl -b d/b.hex; chmod 600 d/b.hex; "
         "chown $ME: d/b.hex; $Q --read d/b.hex" +
             kBackup + "getfacl -cp d/b.hex",
         "0\nuser::rw-\ngroup::---\nother::---\n\n", kDisconnect + kEoj},
    };
    runAsRootAndGuest(rows);
}

// Temporary names are random (another user who takes every name of the
// PID's cannot stop a read), match .quillet-XXXXXX.tmp, and a read removes
// the leftovers of killed runs of the caller's: not another user's, a newer
// one, one a live run holds, or another pattern.
TEST(BackupFile, TakesRandomNamesAndRemovesLeftovers) {
    const Case rows[] = {
        {"PidsNamesTaken",
         "sh -c \"i=0; while [ \\$i -lt 100 ]; do : >d/.quillet-\\$\\$-\\$i.tmp; "
         "i=\\$((i+1)); done; chown $OTHER d/.q*; exec $Q --read d/b.hex\"" +
             kBackup + "ls -A d | wc -l",
         "0\n101\n", kDisconnect + kEoj},
        {"Pattern",
         kHeld + "ls -A d | grep -cE \"^[.]quillet-[A-Za-z0-9]{6}[.]tmp$\"; echo >&3; echo >&3; "
                 "exec 3>&-; wait",
         "1\n", ""},
        {"Leftovers",
         "for n in AAAAAA BBBBBB CCCCCC DDDDDD EEEEE; do echo x >d/.quillet-$n.tmp; done; "
         "touch -d 2001-01-01 d/.q*; touch -d 2099-01-01 d/.quillet-DDDDDD.tmp; chown $ME d/.q*; "
         "chown $OTHER d/.quillet-BBBBBB.tmp; flock d/.quillet-CCCCCC.tmp $Q --read d/b.hex" +
             kBackup + "ls -A d",
         "0\n.quillet-BBBBBB.tmp\n.quillet-CCCCCC.tmp\n.quillet-DDDDDD.tmp\n.quillet-EEEEE.tmp\n"
         "b.hex\n",
         kDisconnect + kEoj},
    };
    runAsRootAndGuest(rows);
}

// Another user's file in a sticky directory is refused before the port
// opens, where the caller may not replace it; root may.
TEST(BackupFile, ChecksTheRenameFirst) {
    const Case rows[] = {
        {"OthersFile",
         "chown 0 d; chmod 1777 d; echo theirs >d/b.hex; chown $OTHER d/b.hex; chmod 666 d/b.hex; "
         "$Q --read d/b.hex; echo $?; cmp -s erased.hex d/b.hex || cat d/b.hex; ls -A d",
         "4\ntheirs\nb.hex\n",
         kBanner +
             ">>> Error in file d/b.hex: d/b.hex belongs to daemon (uid 1), in a sticky "
             "directory where only its owner may replace it" +
             kCanceled},
        {"OwnFile",
         "chown 0 d; chmod 1777 d; echo mine >d/b.hex; chown $ME d/b.hex; $Q --read d/b.hex" +
             kBackup + "ls -A d",
         "0\nb.hex\n", kDisconnect + kEoj},
    };
    runAsRootAndGuest(rows, {{"OthersFile", {"0\nb.hex\n", kDisconnect + kEoj}}});
}

}  // namespace

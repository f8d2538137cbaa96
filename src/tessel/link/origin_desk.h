// Carries the origin of commands between processes. After a login each side tells the other it
// reads origins; before a command sent while another is served goes to such a peer, the served
// command's origin (account@process and its rights) goes first. Origins received are checked
// (only a process account may claim one, and under mutual TLS only one its certificate names)
// and handed to the command they came with. The answers of a command sent on an origin's behalf
// come back to the requester as well, and the requester's Marked waits for them, within a bound.
// Worker thread only, except SetEnabled.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tessel/core/cmd_rights.h"
#include "tessel/core/send_hops.h"
#include "tessel/link/link_token.h"
#include "tessel/msg/chat_exception.h"

class cBridge;
class iSend;
class iServer;
struct stBindMsg;
struct stMsg;

// The origin a received command record came with.
struct stCarriedOrigin {
  bool present = false;
  CmdRightsPtr rights;    // the origin's account, origin and rights as claimed
  uint32_t answerId = 0;  // the sender wants the answers tagged with it; 0: none
  std::string refusal;    // not empty: the claim is refused, this line says why
  uint32_t hops = 0;      // how many commands with an origin sent it on before it came here
};

class cOriginDesk {
 public:
  // How long the answers of a command sent on a requester's behalf are waited for.
  static constexpr uint32_t kAnswerWaitMs = 4000;
  // At most this many commands await their answers; beyond, a command goes without an answer
  // id (its answers are printed where they arrive, as always).
  static constexpr size_t kMaxOwed = 65536;
  // The rights of this many of the last commands sent with rights are kept for their answers,
  // late ones included; an answer to an older one runs with its link's rights alone.
  static constexpr size_t kMaxAsked = 65536;
  // A process account's link that has not answered its greeting this long after its login reads
  // no origins; until then, commands that would carry one do not go to it.
  static constexpr uint32_t kGreetingWaitMs = 10000;

  static cOriginDesk& Instance();

  // Off (the default), origins are neither announced, sent nor read: a console client. Any
  // thread.
  void SetEnabled(bool on) { m_bEnabled.store(on); }
  bool Enabled() const { return m_bEnabled.load(); }

  // A link of `server` (on `bridge`) logged in: it is told that this process reads origins, and
  // whether its account may claim them. Only then does a client send its own.
  void Greet(cBridge& bridge, iSend* link, iServer* server);
  // A link went down or came up anew: what was known of it goes.
  void Forget(iSend* link);
  // This process's login went out on its client `link` (`awaiting`), or its answer came: until
  // then the upstream has not said whether it reads origins, and holds what comes behind the
  // login to run it later, so a command that would carry an origin is not sent there.
  void AwaitLogin(iSend* link, bool awaiting);
  // A link of `server` came up and has not logged in (its login may wait on the throttle or a
  // password check for seconds): a process below would run a command that came without an
  // origin with its own full rights, so one that would carry an origin does not go to it until
  // Greet says it logged in.
  void AwaitGuest(iSend* link, iServer* server);
  // A command record went to `link`: one of the login group that names Login, sent on a client
  // link (by the bridge, or typed by hand), awaits its answer as AwaitLogin says.
  void Sent(iSend* link, int group, const char* text);

  // A received origin record.
  HandleChatExceptionEnum Receive(cBridge& bridge, const stBindMsg& msg);
  // The origin sent with the command record (`group`, `text`) just received on `link`.
  stCarriedOrigin TakeOrigin(iSend* link, int group, std::string_view text);
  // The answer id the command record just received on `link` answers; 0 when none is awaited.
  // `asker` gets the rights the answered command was sent with (null when it answers no command
  // this process sent with rights), also after its wait ended: the answer runs within them.
  uint32_t TakeAnswerTo(iSend* link, CmdRightsPtr& asker);

  // Called by the one send point before a command record goes to `link`: sends the origin of
  // the command being served, or the answer tag while an answer goes back. False when that
  // record could not be sent: the command must not go without it.
  bool BeforeSend(iSend* link, int group, const char* text);
  // A command (`record` of `size` bytes holding `group`, `text`) for every link of `server`
  // that is up, while an origin is served and some of its logged-in links read origins: sent
  // link by link, each with what it reads. The number of links it went to; -1: none of them
  // reads origins, nothing was sent, the caller sends to all as usual.
  int SendToAll(iServer* server, int group, const char* text, const stMsg* record,
                unsigned long size);

  // While an answer goes back on a link: it carries no origin, and is tagged when the command
  // being served asked for that.
  class cAnswering {
   public:
    cAnswering();
    ~cAnswering();
    cAnswering(const cAnswering&) = delete;
    cAnswering& operator=(const cAnswering&) = delete;

   private:
    bool m_bFormer;
  };
  // While the command received on `link` that asked for answers tagged `answerId` is served;
  // `answersTo` not 0: the record served is itself an answer to the command sent with that id,
  // and what it sends back toward that command's requester (a route's answer on its way) is an
  // answer too. `sendHops`: the hop count what it sends with an origin goes with (the one its
  // own origin came with plus one; 0 for a command that came without).
  class cServing {
   public:
    cServing(iSend* link, uint32_t answerId, uint32_t answersTo = 0, uint32_t sendHops = 0);
    ~cServing();
    cServing(const cServing&) = delete;
    cServing& operator=(const cServing&) = delete;

   private:
    iSend* m_pLink;
    uint32_t m_nAnswer;
    uint32_t m_nAnswersTo;
    cSendHopsScope m_hops;
  };

  // After the command that asked for `answerId` was served for `requester`: says it is
  // answered, once the commands it sent on have been answered (or their time ran out).
  void EndServing(const stLinkToken& requester, uint32_t answerId);
  // The command being served leaves part of its answer to later (a shell line run off the
  // worker): returns the answer id its sender asked for (0: none), whose answered notice now
  // waits for AnswerLater.
  uint32_t DeferAnswer();
  // Gives `requester` what `body` writes as the answer `answerId` left to later, then says the
  // command is answered once it ended and nothing else is left. False when the requester's
  // connection has gone.
  bool AnswerLater(const stLinkToken& requester, uint32_t answerId,
                   const std::function<void()>& body);
  // An answer (`text` of a command record) to the command sent with `answerId`: an Output goes
  // to that command's requester as well.
  void Forward(uint32_t answerId, std::string_view text);
  // While answers owed to the requester being served are awaited, `text` (its Marked) is held
  // and sent once they came; false when nothing is awaited, or (said to the requester) when
  // kMaxHeld texts and notices wait already.
  bool HoldUntilAnswered(int group, const std::string& text);
  // Most texts and answered notices waiting at once: a loop of Mark while an answer is awaited
  // would otherwise grow the list without end, and each answer's release walks all of it.
  static constexpr size_t kMaxHeld = 1024;
  // Gives up answers whose time ran out, and sends what waited for them.
  void Expire(uint32_t nowMs);

  // The requester of the command received on `link` of `bridge`, to be answered in `group`.
  static stLinkToken TokenOf(cBridge& bridge, iSend* link, int group);

 private:
  struct stPeer {
    iServer* server = nullptr;  // the server a logged-in link belongs to
    bool reads = false;         // it said it reads origins
    // Origins may go to this peer: a client's server said its account may claim them; a
    // server's link is a process account's (an operator's client learns no one's rights).
    bool mayCarry = false;
    bool pending = false;  // an origin came for the next command record
    stCarriedOrigin origin;
    uint32_t cmdHash = 0;
    uint32_t answerTo = 0;      // the next command record answers this id
    std::string shown;          // its account (a server's link) or its name, as audit lines show it
    bool loginAwaited = false;  // a client link whose login went out and is not answered yet
    bool guest = false;         // a server's link that has not logged in yet
    uint32_t helloDueMs = 0;    // a greeted process link answers the greeting by then
    bool helloAwaited = false;  // it has not yet
  };
  // A command sent on a requester's behalf whose answers are awaited.
  struct stOwed {
    stLinkToken requester;
    uint32_t requesterAnswer = 0;
    iSend* downstream = nullptr;
    uint32_t deadlineMs = 0;
  };
  // What waits until nothing is owed to its requester any more: a text (Marked) or, with
  // `answered` set, the requester's own answered notice.
  struct stHeld {
    stLinkToken requester;
    uint32_t requesterAnswer = 0;
    int group = 0;
    std::string text;
    uint32_t answered = 0;
  };

  cOriginDesk();
  HandleChatExceptionEnum ReceiveOrigin(cBridge& bridge, iSend* link, stPeer& peer, uint32_t hash,
                                        uint32_t answerId, std::string_view body);
  std::string ClaimRefusal(cBridge& bridge, iSend* link);
  bool RelayAnswer(iSend* link, bool& handled);
  bool AnswersRequester(iSend* link) const;
  void NoteUncarried(iSend* link) const;
  static void DropHops(const std::string& to);
  bool RefusedBeforeLogin(iSend* link, const stPeer& peer, int group, const char* text) const;
  static bool AwaitsHello(const stPeer& peer);
  static bool RefuseGuest(iSend* link);
  bool SendKind(iSend* link, uint32_t kind, uint32_t answerId, uint32_t hash, std::string_view body,
                uint32_t hops = 0);
  uint32_t Owe(iSend* downstream, const CmdRightsPtr& rights);
  void KeepAsked(uint32_t id, iSend* downstream, const CmdRightsPtr& rights);
  bool Owes(const stLinkToken& requester) const;
  void EraseOwed(std::unordered_map<uint32_t, stOwed>::iterator& it);
  static std::string LinkKey(const stLinkToken& token);
  void Release(const stLinkToken& requester);
  void Deliver(const stLinkToken& requester, uint32_t answer, const std::function<void()>& body);
  // The requester's connection while it is the same one (and its endpoint); null otherwise.
  void SendAnswered(const stLinkToken& requester, uint32_t answerId);
  static iSend* RequesterLink(const stLinkToken& requester, cBridge** bridge = nullptr);

  std::atomic<bool> m_bEnabled{false};
  std::unordered_map<iSend*, stPeer> m_peers;
  std::unordered_map<uint32_t, stOwed> m_owed;
  // The rights each command sent with rights was sent with, by its answer id, and the ids in
  // the order they were given (the oldest goes beyond kMaxAsked).
  struct stAsked {
    iSend* downstream = nullptr;
    CmdRightsPtr rights;
  };
  std::unordered_map<uint32_t, stAsked> m_asked;
  std::deque<uint32_t> m_askedOrder;
  std::unordered_map<std::string, size_t> m_owedPer;  // by LinkKey of the requester
  std::vector<stHeld> m_held;
  bool m_bHeldFullSaid = false;  // the requester was told m_held is full
  // Answers left to later, by the requester's link key and answer id: how many are still to
  // come, and whether the command ended (its answered notice then waits for them).
  struct stDeferred {
    int pending = 0;
    bool ended = false;
  };
  std::unordered_map<std::string, stDeferred> m_deferred;
  uint32_t m_nNextAnswer = 0;
  bool m_bAnswering = false;
  iSend* m_pServing = nullptr;  // the link of the command being served that asked for answers
  uint32_t m_nServing = 0;
  uint32_t m_nAnswersTo = 0;  // the record being served answers this id
};

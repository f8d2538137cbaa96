// Base of application objects that have a counterpart on the other end of a link: every record
// such an object sends carries its object id. It can also send one record to the objects that
// observe it or that it has selected. Worker thread only.
#pragma once

#include <list>
#include <memory>

#include "tessel/msg/msg_records.h"

class cSyncObj {
 public:
  // Holds one reference to `send` (released by ClearLink or at destruction).
  cSyncObj(iSend* send, unsigned short id);
  // Copies share the link; it is released when the last holder lets go of it.
  cSyncObj(const cSyncObj&) = default;
  cSyncObj& operator=(const cSyncObj&) = default;
  virtual ~cSyncObj();

  unsigned short cSyncObj_GetID() const { return m_nID; }
  iSend* cSyncObj_GetSend() const { return m_pSend.get(); }
  // While not 0, SendLandMessage sends nothing.
  void SetObserving(int observing) { m_nObserving = observing; }

  // Lists of other objects, not owned. Adding twice makes two entries; removing removes all.
  void AddObserved(cSyncObj* obj);
  void RemoveObserved(cSyncObj* obj);
  void AddSelected(cSyncObj* obj);
  void RemoveSelected(cSyncObj* obj);
  bool IsSelected(cSyncObj* obj) const;

  // Sends `msg` stamped with this object's id; `msg->id` is 0 again afterwards. Returns the
  // link's send result, 0 without a link.
  int SendMessageA(const stMsg* msg, unsigned long size);
  int SendCmd(int cmd, const char* text);
  // Sends to every selected object (not to this one); returns 1.
  int SendSelectMessage(const stMsg* msg, unsigned long size);
  // Sends to every observed object and then through this one; returns the last send's result,
  // or 1 without sending while observing is set.
  int SendLandMessage(const stMsg* msg, unsigned long size);

  // Passes the arguments to a server link's invalid-message operation; false on other links.
  bool OnInvalidMessage(int a, int b, bool c);
  void ClearLink();

 private:
  int m_nObserving = 0;
  std::list<cSyncObj*> m_lObserved;
  std::list<cSyncObj*> m_lSelected;
  unsigned short m_nID;
  std::shared_ptr<iSend> m_pSend;
};

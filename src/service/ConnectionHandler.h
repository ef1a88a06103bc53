#pragma once

class CConnection;

// What the pool knows of a service: something that serves the connections it accepts for it.
class CConnectionHandler {
 public:
  // Serves the connection's request on a pool worker. True when the reply went out whole and
  // nothing of the request is left unread, so the connection could carry another request; false
  // when it must end. Never closes the connection: the pool does.
  virtual bool Handle(CConnection& connection) = 0;

 protected:
  ~CConnectionHandler() = default;
};

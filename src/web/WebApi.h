#pragma once

namespace px {

// The web monitor as the service holds it: started when made, stopped from
// the service thread before the modules it reads are released.
class IWebMonitor {
public:
  virtual ~IWebMonitor() = default;
  // The port it listens on (0 when it is not listening).
  virtual int Port() const = 0;
  // Stops accepting, finishes the requests under way and joins its threads.
  virtual void Stop() = 0;
};

}  // namespace px

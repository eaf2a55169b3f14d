#include "engine/IPEngine.h"

namespace px {

bool TIPEngine::SpawnIPCtrl(bool, bool, int, const std::string&, const std::string&, int) { return false; }
void TIPEngine::EnableIPCtrl(const std::string&, int, bool) {}
bool TIPEngine::Queue_PutIPCommand(const std::string&, const std::string&) { return false; }
bool TIPEngine::Queue_IPCommandPending() { return false; }
bool TIPEngine::GetNextTransaction(std::string&) { return false; }
int TIPEngine::GetDoorStatus(const std::string&, int, std::string&) { return 1; }
void TIPEngine::OnOffPollingThread(const std::string&, const std::string&) {}
void TIPEngine::StartSingleSocket() {}
void TIPEngine::FreeIPCtrl() {}

}  // namespace px

#include "script_walk.h"

#include "interruption.h"
#include "messages.h"
#include "update_package.h"
#include "utf8_path.h"

namespace pupdate {

namespace fs = std::filesystem;

void throwInterrupted(const std::string& where) {
    throw RunInterrupted(std::string(text::kInterrupted) + "（" + where + "）");
}

void ScriptWalk::begin() {
    if (m_connection.inTransaction()) {
        m_connection.rollbackTrans();
    }
    m_connection.beginTrans();
    m_proof.begin(m_connection);
    m_scripts.clear();
    m_named.clear();
}

void ScriptWalk::enter(const UpdateEntryPlan& entry) {
    if (interruptionRequested()) {
        throwInterrupted("在执行脚本 " + pathToUtf8(entry.path) + " 之前");
    }
    // Each script once, however often the list names it.
    if (entry.kind == kLineMode && m_connection.inTransaction() &&
        m_named.insert(entry.path.native()).second) {
        m_scripts.push_back(entry.path);
    }
}

bool ScriptWalk::transactionLost() {
    return m_connection.inTransaction() && !m_proof.holds(m_connection);
}

void ScriptWalk::commit(Progress& progress, const std::string& where) {
    progress.setText(text::kCommitting);
    progress.setBarVisible(false);
    progress.repaint();
    if (interruptionRequested()) {
        throwInterrupted(where);
    }
    proveBeforeCommit();
    m_proof.release(m_connection);
    m_connection.commitTrans();
    m_scripts.clear();
    m_named.clear();
    progress.setText(text::kCommitted);
    progress.repaint();
}

void ScriptWalk::rollback() {
    if (!m_connection.inTransaction()) {
        return;
    }
    // The session is handed back as it was found, whether or not the roll-back is taken.
    try {
        m_connection.rollbackTrans();
    } catch (...) {
        m_proof.abandon(m_connection);
        throw;
    }
    m_proof.abandon(m_connection);
}

std::unique_ptr<Progress> ScriptWalk::commitLast() {
    if (!m_connection.inTransaction()) {
        return nullptr;
    }
    std::unique_ptr<Progress> progress = m_person.openProgress();
    commit(*progress, "在提交之前");
    return progress;
}

void ScriptWalk::proveBeforeCommit() {
    if (m_proof.holds(m_connection)) {
        return;
    }
    // Nothing tells when the database ended it: every script run inside it is named.
    std::string scripts;
    for (const fs::path& script : m_scripts) {
        scripts += (scripts.empty() ? "" : "、") + pathToUtf8(script);
    }
    throw std::runtime_error(
        "数据库已结束本次升级的事务" +
        (scripts.empty() ? std::string() : "（在执行脚本 " + scripts + " 期间）") +
        "，此前执行的语句可能已经提交，不能再回滚；升级没有完成。");
}

} // namespace pupdate

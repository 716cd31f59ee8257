// The walk over the update list: one transaction, every entry in list order, one commit.

#include "path_resolve.h"
#include "update_package.h"
#include "upgrade_run.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace pupdate {

bool UpgradeRun::ApplyUpdateList() {
    std::unique_ptr<Progress> commitProgress;
    try {
        const std::vector<std::string> items = splitUpdateList(m_updateFiles);
        if (m_adoconn.inTransaction()) {
            m_adoconn.rollbackTrans();
        }
        m_adoconn.beginTrans();

        for (const std::string& item : items) {
            // An empty item (two commas in a row, a trailing comma) names nothing to run.
            if (item.empty()) {
                continue;
            }
            const UpdateEntry entry = splitEntry(item);
            const std::string relative = std::string(kScriptFolder) + "\\" + entry.file;
            RunUpdateEntry(entry.kind, m_paths.resolve(m_programFolder, relative));
        }

        if (m_adoconn.inTransaction()) {
            commitProgress = m_person.openProgress();
            commitProgress->setText(text::kCommitting);
            commitProgress->setBarVisible(false);
            m_adoconn.commitTrans();
            commitProgress->setText(text::kCommitted);
        }
        m_person.setStatus(text::kStatusDone);
        m_person.inform(text::kFinished);
        m_person.closeWindow();
        return true;
    } catch (const std::exception& error) {
        // The commit window is not left on screen behind the failure message.
        commitProgress.reset();
        m_person.inform(text::kFailed);
        std::string reason = error.what();
        // Roll back only what is open: after a server-side entry has committed there is
        // nothing left, and a refused roll-back must not hide the failure.
        if (m_adoconn.inTransaction()) {
            try {
                m_adoconn.rollbackTrans();
            } catch (const std::exception& rollbackError) {
                reason += "\r\n";
                reason += rollbackError.what();
            }
        }
        // Tell the operator why; a log that cannot be written escapes from here.
        WriteExceptionLog(reason);
        m_person.closeWindow();
        return false;
    }
}

} // namespace pupdate

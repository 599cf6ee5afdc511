#pragma once
// Layer 1 of a download task: its identity and configuration (sources, paths,
// kind flags), the option block, the live and published status blocks, and
// its registration in the process-wide WorkList.
//
// Owner: the WorkList (tasks live until the engine shuts down). Threads: the
// configuration is written by the creating engine call and afterwards only
// read, except the web-source marks (work thread, or the API thread once the
// run has ended) and the address sources (engine calls, task lock). The
// status blocks and options are guarded by the task lock (the QThread object
// lock); the live block is written by the work thread.

#include <string>
#include <vector>

#include "engine/frame/EngineApi.h"
#include "engine/base/QThread.h"
#include "engine/base/TaskTypes.h"

namespace engine {

class TBaseWork : public QThread {
public:
    TBaseWork();
    ~TBaseWork() override;

    // Fills the configuration from a creation record. `read_carried_bit` is
    // false for restored tasks, which ignore bit 20.
    void Configure(const TaskParams& params, bool read_carried_bit);
    // Whether this (new) task duplicates `other`: same exact target, same
    // main source of two torrent tasks, or about half its web sources shared.
    bool IsDuplicateOf(const TBaseWork& other) const;
    // "P2SP Task", "BT Task" or "HTTP Task".
    const char* KindName() const;

    bool IsP2sp() const { return m_p2sp; }
    bool IsBt() const { return m_bt; }
    bool IsPlainHttp() const { return !m_p2sp && !m_bt; }
    bool HasExactTarget() const { return m_exact_target; }
    const std::string& MainSource() const { return m_main_source; }
    const std::string& TargetFile() const { return m_target_file; }
    const std::string& SaveFolder() const { return m_save_folder; }
    const std::string& InfoPath() const { return m_info_path; }
    const std::string& InfoPathDf() const { return m_info_path_df; }
    const std::vector<WebSource>& WebSources() const { return m_web_sources; }

    // A source marked in use returns to idle; the metainfo source returns to
    // "metainfo source" when the task holds no metainfo bytes.
    void ResetWebSourceMarks(bool has_metainfo_bytes);
    void SetWebSourceMark(size_t index, SourceMark mark);
    // The task holds its metainfo already: its metainfo sources are not
    // fetched in this run.
    void MarkMetainfoSourcesInUse();

    void ClearIpSources();
    void AddIpSources(const char* url_text, const char* host_text);
    bool IpSourcesInUse();
    std::vector<std::string> IpSourceUrls();
    std::vector<std::string> IpSourceHosts();

    TaskOptions Options();
    // 0 = upload, 1 = download; false for any other direction.
    bool SetLimit(int32_t direction, int32_t value_kib);

    // Copies of the status blocks, taken under the task lock.
    TaskStatusBlock PublishedStatus();
    TaskStatusBlock LiveStatus();
    // A tracker's reply figures, into the live block.
    void SetTrackerFigures(int32_t interval_s, int64_t done_peers, int64_t completed);

    // Splits text at CR, LF or CR LF, drops empty lines and trims bytes 1..32
    // from both ends of each line.
    static std::vector<std::string> SplitLines(const char* text);

protected:
    // Clears the per-run state of this layer; derived layers extend it.
    virtual void ResetBaseWork();

    // Both guarded by the task lock.
    TaskStatusBlock m_live;
    TaskStatusBlock m_published;
    TaskOptions m_options;

private:
    std::vector<WebSource> m_web_sources;
    std::string m_main_source;
    bool m_p2sp = false;
    bool m_bt = false;
    bool m_exact_target = false;
    bool m_alt_verify = false;
    bool m_carried = false;
    std::string m_save_folder;
    std::string m_target_file;
    std::string m_info_path;
    std::string m_info_path_df;
    // Task lock.
    std::vector<std::string> m_ip_urls;
    std::vector<std::string> m_ip_hosts;
    bool m_ip_in_use = false;
};

}  // namespace engine

// SPDX-License-Identifier: MIT
// The adapter's judge and writers, in-process: each row is a run as
// run_checks would leave it, and the lines, statuses, plugin output and
// series that must come of it. No process is started but the one that
// asks, as the check's user, why a node did not open.

#include "../monitor/monitor.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

namespace {

// A node no machine has, so that no sysfs answers for it.
const char node[] = "/nonexistent/dri/renderD128";
const char node_line[] = "kalpex: node=/nonexistent/dri/renderD128\n";
const char renderer[] = "kalpex: GL_RENDERER=Stand-in GPU\n";

struct inputs {
    settings options;
    planned_check planned;
    run_result run;
    bool name_nodes = false, name_apis = false;
    bool short_of_gpus = false;
};

// What kalpex writes for a pass, and a run that ended with status.
void kalpex_said(inputs &in, const char *verdict, int status)
{
    in.run.pid = 4242;
    in.run.out = std::string(node_line) + renderer + verdict;
    in.run.wait_status = W_EXITCODE(status, 0);
    in.run.started_ms = 10;
    in.run.ended_ms = 103;
}

// A check of another path than GBM's, whose lines name it.
void on_path(inputs &in, probe_api api, const char *failure)
{
    kalpex_said(in, "", 1);
    in.run.out.clear();
    in.run.err = failure;
    in.planned.api = api;
    in.name_apis = true;
}

// The GBM check of a GPU that has no DRM node.
void nodeless(inputs &in)
{
    in.planned.api = probe_api::gbm;
    in.planned.node.reset();
    in.planned.label = "0000:3b:00.0";
    in.planned.nodeless_gpu = gpu_identity{"", "0000:3b:00.0", "nvidia", "0x10de", "0x2330", std::nullopt};
    in.planned.applies = false;
    in.name_nodes = in.name_apis = true;
}

void wedged(inputs &in, const char *methods)
{
    in.planned.kernel = kernel_record{3, 3, 1, 0, 1700000000, methods, methods};
}

struct row {
    const char *name;
    void (*set_up)(inputs &in);
    // The adapter's first line and status, standard error, the plugin's
    // first line up to its performance data and status, and series that
    // must be in the metrics.
    const char *line;
    int status;
    const char *err; // nullptr: not looked at
    const char *plugin_line;
    int plugin_status;
    const char *series[3]; // as many as there are, then none
};


int failures = 0;

void expect(const row &r, const char *what, const std::string &got, const std::string &wanted)
{
    if (got == wanted)
        return;
    ++failures;
    (void)fprintf(stderr, "FAIL %s: %s\n  got:    %s\n  wanted: %s\n", r.name, what, got.c_str(), wanted.c_str());
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

} // namespace

int main()
{
    // A local table: no initialisation before main that could throw.
    const row rows[] = {
        {"a pass in hardware", [](inputs &in) { kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 0); },
         "kalpex: PASS (HARDWARE)", 0, node_line, "KALPEX OK - kalpex: PASS (HARDWARE)", 0,
         {"kalpex_probe_success{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 1\n",
          "kalpex_probe_hardware{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 1\n",
          "kalpex_probe_duration_seconds{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 0.093\n"}},
        {"a software fallback: the plugin warns", [](inputs &in) { kalpex_said(in, "kalpex: PASS (SOFTWARE fallback)\n", 0); },
         "kalpex: PASS (SOFTWARE fallback)", 0, nullptr, "KALPEX WARNING - kalpex: PASS (SOFTWARE fallback)", 1,
         {"kalpex_probe_hardware{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 0\n"}},
        {"kalpex's own failure and its stage",
         [](inputs &in) {
             kalpex_said(in, "", 1);
             in.run.err = "kalpex: FAIL eglInitialize (renderer: (none), eglError 0x3001)\n";
         },
         "kalpex: FAIL eglInitialize (renderer: (none), eglError 0x3001)", 1, nullptr,
         "KALPEX CRITICAL - kalpex: FAIL eglInitialize (renderer: (none), eglError 0x3001)", 2,
         {"kalpex_probe_success{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 0\n",
          "kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"eglInitialize\"} 1\n"}},
        {"a pass with a failing status: kalpex's line moves to standard error",
         [](inputs &in) { kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 3); }, "kalpex: FAIL exit status 3", 1,
         "kalpex: node=/nonexistent/dri/renderD128\nkalpex: PASS (HARDWARE)\n", nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"exit status 3\"} 1\n"}},
        {"no verdict line at all", [](inputs &in) { kalpex_said(in, "", 0); },
         "kalpex: FAIL exit status 0 with no verdict line", 1, nullptr, nullptr, 2, {}},
        {"killed by a signal",
         [](inputs &in) {
             kalpex_said(in, "", 0);
             in.run.wait_status = SIGSEGV;
         },
         "kalpex: FAIL killed by SIGSEGV", 1, nullptr, nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"killed by SIGSEGV\"} 1\n"}},
        {"past the bound",
         [](inputs &in) {
             kalpex_said(in, "", 0);
             in.run.wait_status = SIGKILL;
             in.run.timed_out = true;
             in.options.bound = 7;
         },
         "kalpex: FAIL no result within 7 s", 1, nullptr, nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"no result within 7 s\"} 1\n"}},
        {"still there after SIGKILL",
         [](inputs &in) {
             kalpex_said(in, "", 0);
             in.run.timed_out = in.run.unkillable = true;
         },
         "kalpex: FAIL no result within 60 s (process 4242 could not be ended)", 1, nullptr, nullptr, 2, {}},
        {"kalpex cannot start: UNKNOWN, its last words said once",
         [](inputs &in) {
             kalpex_said(in, "", 127);
             in.run.out.clear();
             in.run.err = "No such file or directory\n";
             in.options.kalpex = "/opt/kalpex";
         },
         "kalpex: UNKNOWN cannot run /opt/kalpex: No such file or directory", 2, "",
         "KALPEX UNKNOWN - kalpex: UNKNOWN cannot run /opt/kalpex: No such file or directory", 3,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"cannot run\"} 1\n"}},
        {"no user to run it as",
         [](inputs &in) { in.run.spawn_error = "no user kalpex to run it as"; },
         "kalpex: UNKNOWN cannot run /usr/bin/kalpex: no user kalpex to run it as", 2, "", nullptr, 3, {}},
        {"the adapter stopped", [](inputs &in) {
             kalpex_said(in, "", 0);
             in.run.wait_status = SIGKILL;
             in.run.terminated_by = SIGTERM;
         },
         "kalpex: UNKNOWN check terminated by SIGTERM", 2, nullptr, nullptr, 3, {}},
        {"an earlier check stuck, its kalpex still there",
         [](inputs &in) {
             in.run.stuck_since = 86400;
             in.run.stuck_kalpex = in.run.stuck_holder = 77;
         },
         "kalpex: FAIL check stuck since 1970-01-02T00:00:00Z (process 77)", 1, "", nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"check stuck\"} 1\n"}},
        {"stuck, held by what it left",
         [](inputs &in) {
             in.run.stuck_since = 86400;
             in.run.stuck_kalpex = 77;
             in.run.stuck_holder = 78;
         },
         "kalpex: FAIL check stuck since 1970-01-02T00:00:00Z (process 78, left by process 77)", 1, nullptr, nullptr, 2,
         {}},
        {"a standing wedge fails a software pass",
         [](inputs &in) {
             kalpex_said(in, "kalpex: PASS (SOFTWARE fallback)\n", 0);
             wedged(in, "rebind");
         },
         "kalpex: FAIL device wedged (WEDGED=rebind) on /nonexistent/dri/renderD128", 1,
         "kalpex: node=/nonexistent/dri/renderD128\nkalpex: PASS (SOFTWARE fallback)\n", nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",stage=\"device wedged\"} 1\n",
          "kalpex_kernel_wedged{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",wedged=\"rebind\"} 1\n",
          "kalpex_kernel_event_unanswered{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 1\n"}},
        {"a wedge over a timeout: both lines it replaced follow",
         [](inputs &in) {
             kalpex_said(in, "", 0);
             in.run.timed_out = true;
             wedged(in, "bus-reset");
         },
         "kalpex: FAIL device wedged (WEDGED=bus-reset) on /nonexistent/dri/renderD128", 1,
         "kalpex: node=/nonexistent/dri/renderD128\nkalpex: FAIL no result within 60 s\n", nullptr, 2, {}},
        {"a pass in hardware answers the wedge",
         [](inputs &in) {
             kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 0);
             wedged(in, "rebind");
         },
         "kalpex: PASS (HARDWARE)", 0, nullptr, nullptr, 0,
         {"kalpex_kernel_wedged{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",wedged=\"rebind\"} 0\n",
          "kalpex_kernel_event_unanswered{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 0\n",
          "kalpex_probe_trigger{device=\"/nonexistent/dri/renderD128\",api=\"gbm\",trigger=\"kernel_event\"} 1\n"}},
        {"a pass on a machine short of GPUs answers no event",
         [](inputs &in) {
             kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 0);
             wedged(in, "none");
             in.planned.kernel->wedge_event = 0;
             in.options.expected_nodes = 2;
             in.short_of_gpus = true;
         },
         "kalpex: FAIL expected 2 GPUs, found 1", 1, nullptr, nullptr, 2,
         {"kalpex_kernel_event_unanswered{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 1\n",
          "kalpex_gpus_expected{device=\"/nonexistent/dri/renderD128\",api=\"gbm\"} 2\n"}},
        {"kalpex's default node did not open: named, and why",
         [](inputs &in) {
             kalpex_said(in, "", 1);
             in.run.out.clear();
             in.run.err = "kalpex: FAIL open /nonexistent/dri/card0\n";
             in.planned.node.reset();
             in.planned.label = "default";
         },
         "kalpex: FAIL open /nonexistent/dri/card0: No such file or directory", 1, nullptr, nullptr, 2,
         {"kalpex_probe_open_failure{device=\"default\",api=\"gbm\",cause=\"missing\",error=\"No such file or directory\"} 1\n"}},
        {"several nodes: each line names its own, and the renderer goes below the node",
         [](inputs &in) {
             kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 0);
             in.name_nodes = true;
         },
         "kalpex: PASS (HARDWARE) on /nonexistent/dri/renderD128", 0,
         "kalpex: node=/nonexistent/dri/renderD128\nkalpex: GL_RENDERER=Stand-in GPU\n",
         "KALPEX OK - kalpex: PASS (HARDWARE) on /nonexistent/dri/renderD128", 0, {}},
        {"Vulkan's failure names the path, and its stage is the call and its result",
         [](inputs &in) { on_path(in, probe_api::vulkan, "kalpex: FAIL vkCreateInstance (VK_ERROR_INCOMPATIBLE_DRIVER)\n"); },
         "kalpex: FAIL vkCreateInstance (VK_ERROR_INCOMPATIBLE_DRIVER) through vulkan", 1, nullptr, nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"vulkan\","
          "stage=\"vkCreateInstance (VK_ERROR_INCOMPATIBLE_DRIVER)\"} 1\n"}},
        {"a stage the Vulkan probe names with its device",
         [](inputs &in) { on_path(in, probe_api::vulkan, "kalpex: FAIL pixel readback (device: Stand-in Vulkan GPU)\n"); },
         "kalpex: FAIL pixel readback (device: Stand-in Vulkan GPU) through vulkan", 1, nullptr, nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"/nonexistent/dri/renderD128\",api=\"vulkan\",stage=\"pixel readback\"} 1\n"}},
        {"GBM on a GPU with no DRM node does not apply beside the other paths",
         [](inputs &in) { nodeless(in); },
         "kalpex: SKIP gbm on 0000:3b:00.0 (nvidia): the GPU has no DRM node", 0, nullptr,
         "KALPEX OK - kalpex: SKIP gbm on 0000:3b:00.0 (nvidia): the GPU has no DRM node", 0, {}},
        {"GBM alone on a GPU with no DRM node checks nothing: a failure",
         [](inputs &in) {
             nodeless(in);
             in.options.apis = {probe_api::gbm};
         },
         "kalpex: FAIL gbm on 0000:3b:00.0 (nvidia): the GPU has no DRM node", 1, nullptr, nullptr, 2,
         {"kalpex_probe_failed_stage{device=\"0000:3b:00.0\",api=\"gbm\",stage=\"no DRM node\"} 1\n"}},
        {"a check slower than -w warns in the plugin",
         [](inputs &in) {
             kalpex_said(in, "kalpex: PASS (HARDWARE)\n", 0);
             in.run.ended_ms = 3010;
             in.options.warning_ms = 2000;
         },
         "kalpex: PASS (HARDWARE)", 0, nullptr,
         "KALPEX WARNING - kalpex: WARNING check took 3.000 s on /nonexistent/dri/renderD128, over 2.000 s", 1, {}},
    };
    for (const row &r : rows) {
        inputs in;
        in.planned.node = node;
        in.planned.label = node;
        r.set_up(in);
        check_plan plan;
        plan.render_nodes = 1;
        plan.gpus = 1;
        plan.name_nodes = in.name_nodes;
        plan.name_apis = in.name_apis;
        plan.checks.push_back(in.planned);
        const std::vector<run_result> runs = {in.run};
        machine_verdict machine;
        machine.short_of_gpus = in.short_of_gpus;
        const std::vector<verdict> verdicts = {judge(in.options, plan.checks[0], runs[0])};

        const output adapter = adapter_output(in.options, plan, machine, verdicts);
        expect(r, "first line", first_line(adapter.out), r.line);
        expect(r, "status", std::to_string(adapter.status), std::to_string(r.status));
        if (r.err)
            expect(r, "standard error", adapter.err, r.err);
        const output plugin = plugin_output(in.options, plan, machine, verdicts);
        if (r.plugin_line)
            expect(r, "plugin line", first_line(plugin.out).substr(0, first_line(plugin.out).find(" |")), r.plugin_line);
        expect(r, "plugin status", std::to_string(plugin.status), std::to_string(r.plugin_status));
        const std::string metrics = metrics_text(in.options, plan, machine, verdicts);
        for (const char *series : r.series) {
            if (series && metrics.find(series) == std::string::npos)
                expect(r, "series", metrics, series);
        }
    }
    (void)printf("%zu rows, %d failures\n", sizeof rows / sizeof rows[0], failures);
    return failures ? 1 : 0;
}

# shellcheck shell=sh
# Sourced by the scripts that work in a scratch directory: makes one, in
# $scratch, and removes it whenever the script ends. dash runs no EXIT trap
# when a signal kills it, so SIGHUP, SIGINT and SIGTERM are caught too,
# whether they reach the script alone (timeout, a CI's time limit) or its
# whole process group (Ctrl-C); the script then dies of that signal.
#
# Long commands run through `interruptible COMMAND...`: in a process group
# of their own, so that the script sees a signal at once rather than when
# the command ends, and then stops the command with everything it started.
scratch=$(mktemp -d)
running=""

# A signal can come before the command has made its process group: then
# the command itself is stopped, before it can start anything.
stop_running_command() {
    [ -n "$running" ] || return 0
    kill -TERM "-$running" 2>/dev/null || {
        kill -TERM "$running" 2>/dev/null
        # Unless it made its group meanwhile, and started something in it.
        kill -TERM "-$running" 2>/dev/null
    } || true
    wait "$running" 2>/dev/null || true
    running=""
}

trap 'stop_running_command; rm -rf "$scratch"' EXIT
for signal in HUP INT TERM; do
    # shellcheck disable=SC2064
    trap "trap - EXIT; stop_running_command; rm -rf \"\$scratch\"; trap - $signal; kill -$signal \$\$" \
        "$signal"
done

interruptible() {
    setsid "$@" &
    running=$!
    status=0
    wait "$running" || status=$?
    running=""
    return "$status"
}

"""Sets up, runs and probes one local S3-compatible store for the tests.

Runs under the system interpreter, which has the packaged object storage
servers; scripts/s3-server.sh drives it:

    store.py setup DIR                  configs, rings and credentials in DIR
    store.py serve CONF LOG [OWNER_PID] one server, in the foreground
    store.py probe DIR PID...           wait until the store answers S3

Everything a store writes stays inside its DIR, so that any number of stores
can run side by side.
"""

import datetime
import hashlib
import hmac
import json
import logging
import os
import pwd
import secrets
import select
import shlex
import signal
import socket
import string
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

TEMPLATES = Path(__file__).resolve().parent
SERVERS = ("account", "container", "object", "proxy")
REGION = "us-east-1"  # the store refuses signatures for any other region
ACCOUNT = "test"
USER_NAME = "tester"
DEVICE = "d1"
# 16 partitions: enough to spread the few objects of a test run, and quick
# to build.
PART_POWER = 4

# Exit status of `probe` when a server could not bind its port (taken
# between the choice and the bind): the caller retries on other ports.
EXIT_PORT_TAKEN = 75
PROBE_TIMEOUT = 60.0
PROBE_INTERVAL = 0.05


def pick_free_ports(count):
    """Ports free on 127.0.0.1 now; all held at once, so they differ."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for sock in sockets:
            sock.bind(("127.0.0.1", 0))
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


def write_env(path, values):
    with open(path, "w") as f:
        for key, value in values.items():
            f.write(f"{key}={shlex.quote(value)}\n")


def build_ring(etc, kind, port):
    from swift.common.ring import RingBuilder

    builder = RingBuilder(PART_POWER, 1, 1)
    builder.add_dev({
        "id": 0, "region": 1, "zone": 1, "ip": "127.0.0.1", "port": port,
        "replication_ip": "127.0.0.1", "replication_port": port,
        "device": DEVICE, "weight": 100.0,
    })
    builder.rebalance()
    builder.get_ring().save(str(etc / f"{kind}.ring.gz"))


def setup(directory):
    """Write everything the servers need into a new store directory."""
    directory = Path(directory).resolve()
    etc = directory / "etc"
    devices = directory / "srv"
    for sub in (etc, devices / DEVICE, directory / "log", directory / "run"):
        sub.mkdir(parents=True, exist_ok=True)

    ports = dict(zip(SERVERS + ("memcache",), pick_free_ports(len(SERVERS) + 1)))
    secret = secrets.token_hex(20)
    values = {
        "etc_dir": str(etc),
        "devices_dir": str(devices),
        "user": pwd.getpwuid(os.geteuid()).pw_name,
        "region": REGION,
        "account": ACCOUNT,
        "user_name": USER_NAME,
        "secret": secret,
        "hash_prefix": secrets.token_hex(16),
        "hash_suffix": secrets.token_hex(16),
    }
    values.update({f"{name}_port": str(port) for name, port in ports.items()})

    template = string.Template((TEMPLATES / "swift.conf.in").read_text())
    (etc / "swift.conf").write_text(template.substitute(values))
    for name in SERVERS:
        template = string.Template(
            (TEMPLATES / f"{name}-server.conf.in").read_text())
        (etc / f"{name}-server.conf").write_text(template.substitute(values))
    for kind in ("account", "container", "object"):
        build_ring(etc, kind, ports[kind])

    (directory / "run" / "ports.json").write_text(json.dumps(ports))
    endpoint = f"http://127.0.0.1:{ports['proxy']}"
    # The standard variables of the AWS SDKs, so that any client started with
    # them talks to this store and to nothing else: the config and credential
    # files are this store's own, and no instance metadata service is asked.
    write_env(directory / "s3.env", {
        "AWS_ENDPOINT_URL_S3": endpoint,
        "AWS_ACCESS_KEY_ID": f"{ACCOUNT}:{USER_NAME}",
        "AWS_SECRET_ACCESS_KEY": secret,
        "AWS_DEFAULT_REGION": REGION,
        "AWS_CONFIG_FILE": str(write_aws_config(directory, endpoint)),
        "AWS_SHARED_CREDENTIALS_FILE": str(directory / "aws-credentials"),
        "AWS_EC2_METADATA_DISABLED": "true",
    })
    (directory / "aws-credentials").write_text("")


def write_aws_config(directory, endpoint):
    """A config file with the client settings this store needs."""
    path = directory / "aws-config"
    path.write_text(
        "[default]\n"
        f"region = {REGION}\n"
        f"endpoint_url = {endpoint}\n"
        # The store knows neither the newer checksum headers nor
        # aws-chunked bodies; send checksums only where an operation needs one.
        "request_checksum_calculation = when_required\n"
        "response_checksum_validation = when_required\n"
        "s3 =\n"
        "    addressing_style = path\n"
    )
    return path


def watch_owner(pid):
    """Terminate this server once process `pid` has ended.

    A test run killed before it could stop its store would otherwise leave
    the servers running. A pidfd names that very process, not whichever
    later takes its number; the wait runs on an OS thread that was started
    before the servers patch the standard library for green threads.
    """
    try:
        pidfd = os.pidfd_open(pid)
    except ProcessLookupError:
        os.kill(os.getpid(), signal.SIGTERM)
        return
    poller = select.poll()
    poller.register(pidfd, select.POLLIN)

    def wait_then_stop():
        poller.poll()
        os.kill(os.getpid(), signal.SIGTERM)

    threading.Thread(target=wait_then_stop, daemon=True).start()


def serve(conf, log_path, owner=None):
    from swift.common import utils
    from swift.common.wsgi import run_wsgi

    # Cluster settings from the store's own directory, not /etc.
    utils.set_swift_dir(os.path.dirname(conf))
    # Log lines into the store's log file rather than to syslog.
    log_file = open(log_path, "a", buffering=1)
    utils.ThreadSafeSysLogHandler = \
        lambda *args, **kwargs: logging.StreamHandler(log_file)
    if owner is not None:
        watch_owner(owner)
    section = Path(conf).name.removesuffix(".conf")
    return run_wsgi(conf, section)


def read_env(directory):
    env = {}
    for line in (Path(directory) / "s3.env").read_text().splitlines():
        key, _, value = line.partition("=")
        env[key] = shlex.split(value)[0] if value else ""
    return env


def is_running(pid):
    """True while `pid` lives and has not yet exited (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rpartition(")")[2].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def healthy(port):
    try:
        with urllib.request.urlopen(
                f"http://127.0.0.1:{port}/healthcheck", timeout=5) as reply:
            return reply.status == 200
    except (OSError, urllib.error.URLError):
        return False


def signed_list_buckets(endpoint, access_key, secret_key, region):
    """Status of an S3 ListBuckets signed with signature version 4."""
    host = urllib.parse.urlsplit(endpoint).netloc
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime(
        "%Y%m%dT%H%M%SZ")
    day = stamp[:8]
    payload_hash = hashlib.sha256(b"").hexdigest()
    signed_headers = "host;x-amz-content-sha256;x-amz-date"
    canonical = (f"GET\n/\n\nhost:{host}\nx-amz-content-sha256:{payload_hash}\n"
                 f"x-amz-date:{stamp}\n\n{signed_headers}\n{payload_hash}")
    scope = f"{day}/{region}/s3/aws4_request"
    to_sign = (f"AWS4-HMAC-SHA256\n{stamp}\n{scope}\n"
               + hashlib.sha256(canonical.encode()).hexdigest())
    key = ("AWS4" + secret_key).encode()
    for part in (day, region, "s3", "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    request = urllib.request.Request(endpoint + "/", headers={
        "x-amz-date": stamp,
        "x-amz-content-sha256": payload_hash,
        "Authorization": (f"AWS4-HMAC-SHA256 Credential={access_key}/{scope}, "
                          f"SignedHeaders={signed_headers}, "
                          f"Signature={signature}"),
    })
    try:
        with urllib.request.urlopen(request, timeout=10) as reply:
            return reply.status
    except urllib.error.HTTPError as error:
        return error.code
    except (OSError, urllib.error.URLError):
        return None


def probe(directory, pids):
    """Wait until every server is healthy and S3 accepts the credentials.

    Fails at once when a server exits; EXIT_PORT_TAKEN when it exited
    because its port was taken.
    """
    directory = Path(directory)
    ports = json.loads((directory / "run" / "ports.json").read_text())
    env = read_env(directory)
    deadline = time.monotonic() + PROBE_TIMEOUT
    pending = list(SERVERS)
    while True:
        for name, pid in zip(SERVERS, pids):
            if not is_running(pid):
                log = (directory / "log" / f"{name}-server.log").read_text(
                    errors="replace")
                sys.stderr.write(f"{name} server exited; its log ends:\n"
                                 + "".join(log.splitlines(True)[-15:]))
                return EXIT_PORT_TAKEN if "Could not bind" in log else 1
        pending = [name for name in pending if not healthy(ports[name])]
        if not pending:
            status = signed_list_buckets(
                env["AWS_ENDPOINT_URL_S3"], env["AWS_ACCESS_KEY_ID"],
                env["AWS_SECRET_ACCESS_KEY"], env["AWS_DEFAULT_REGION"])
            if status == 200:
                return 0
            if status is not None and status != 503:
                sys.stderr.write(f"S3 ListBuckets answered {status}\n")
                return 1
        if time.monotonic() > deadline:
            sys.stderr.write(f"no answer after {PROBE_TIMEOUT:.0f} s from: "
                             + (", ".join(pending) or "S3") + "\n")
            return 1
        time.sleep(PROBE_INTERVAL)


def main(argv):
    usage = ("usage: store.py setup DIR | serve CONF LOG [OWNER_PID]"
             " | probe DIR PID...")
    if len(argv) == 2 and argv[0] == "setup":
        setup(argv[1])
        return 0
    if len(argv) in (3, 4) and argv[0] == "serve":
        return serve(argv[1], argv[2], int(argv[3]) if len(argv) == 4 else None)
    if len(argv) == 2 + len(SERVERS) and argv[0] == "probe":
        return probe(argv[1], [int(pid) for pid in argv[2:]])
    sys.stderr.write(usage + "\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

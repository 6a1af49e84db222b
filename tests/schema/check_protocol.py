#!/usr/bin/env python3
"""Checks the published protocol reference against the real worker.

Runs a session of requests through stitch-worker (capabilities, inspections,
a preview, exports to every format, and a set of requests that must fail),
then validates every request sent and every event received against the JSON
Schemas in docs/schema/, including the key order the worker promises. With
--stitch it also runs the `stitch` front end with a protocol log and checks
that exchange the same way. Any event the schemas do not describe fails the
test, so the reference cannot drift from the worker.

With --examples FILE it also writes the first line of each kind (and each
failure code) to FILE, which is where the examples in docs/protocol.md come
from.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path
from urllib.parse import urljoin

from jsonschema import Draft202012Validator

try:  # jsonschema 4.18 and later resolve references through `referencing`
    from referencing import Registry, Resource
    from referencing.jsonschema import DRAFT202012
except ImportError:  # older releases, such as Debian 12's, have RefResolver
    Registry = None
    from jsonschema import RefResolver

REQUEST_KINDS = ["get_capabilities", "inspect_pair", "render_preview", "start_export"]
EVENT_KINDS = ["progress", "capabilities", "pair_inspected", "preview_ready",
               "export_complete", "failed"]
NIL = "00000000-0000-0000-0000-000000000000"


class Lookup:
    """Resolves $ref values relative to one schema file, with either library API."""

    def __init__(self, schemas, base):
        self.schemas, self.base = schemas, base

    def lookup(self, ref):
        document = urljoin(self.base, ref).split("#")[0]
        if Registry is not None:
            contents = self.schemas.registry.resolver(base_uri=self.base).lookup(ref).contents
        else:
            resolver = RefResolver(self.base, self.schemas.docs_by_id[self.base],
                                   store=self.schemas.docs_by_id)
            contents = resolver.resolve(ref)[1]
        return contents, Lookup(self.schemas, document)


class Schemas:
    def __init__(self, folder):
        self.docs = {}
        for path in sorted(Path(folder).glob("*.schema.json")):
            self.docs[path.name] = json.loads(path.read_text())
        self.docs_by_id = {doc["$id"]: doc for doc in self.docs.values()}
        if Registry is not None:
            self.registry = Registry().with_resources(
                (doc["$id"], Resource.from_contents(doc, DRAFT202012))
                for doc in self.docs.values())
        for doc in self.docs.values():
            Draft202012Validator.check_schema(doc)

    def validator(self, name):
        doc = self.docs[name]
        if Registry is not None:
            return Draft202012Validator(doc, registry=self.registry)
        return Draft202012Validator(
            doc, resolver=RefResolver(doc["$id"], doc, store=self.docs_by_id))

    def resolver(self, schema):
        return Lookup(self, schema["$id"])

    def check_key_order(self, instance, schema, resolver, where):
        """Objects of closed schemas must list their keys in schema order."""
        while "$ref" in schema:
            schema, resolver = resolver.lookup(schema["$ref"])
        errors = []
        if isinstance(instance, dict) and "properties" in schema:
            props = list(schema["properties"])
            if schema.get("additionalProperties") is False and \
                    list(instance) != [k for k in props if k in instance]:
                errors.append(f"{where}: keys {list(instance)} are not in the order {props}")
            for key, value in instance.items():
                if key in schema["properties"]:
                    errors += self.check_key_order(value, schema["properties"][key], resolver,
                                                   f"{where}.{key}")
        elif isinstance(instance, list) and "items" in schema:
            for i, value in enumerate(instance):
                errors += self.check_key_order(value, schema["items"], resolver, f"{where}[{i}]")
        elif instance is not None and "anyOf" in schema:
            for option in schema["anyOf"]:
                if option.get("type") != "null":
                    errors += self.check_key_order(instance, option, resolver, where)
        return errors


def compact(line):
    """True when no white space stands outside the strings of a JSON text."""
    in_string = escaped = False
    for ch in line:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in " \t\r\n":
            return False
    return True


class Checker:
    def __init__(self, schemas):
        self.schemas = schemas
        self.failures = []
        self.failed_items = set()
        self.items = 0
        self.counts = {}
        self.examples = {}

    def fail(self, text, item=None):
        self.failures.append(text)
        self.failed_items.add(item if item is not None else text)

    def request(self, req, origin):
        self.items += 1
        kind = req.get("action")
        if kind not in REQUEST_KINDS:
            self.fail(f"{origin}: unknown action {kind!r}", origin)
            return
        for name in (f"{kind}.request.schema.json", "request.schema.json"):
            for err in self.schemas.validator(name).iter_errors(req):
                self.fail(f"{origin}: request {kind} against {name}: {err.message}", origin)
        self.examples.setdefault(f"request {kind}", req)

    def event_line(self, line, origin):
        self.items += 1
        try:
            ev = json.loads(line)
        except json.JSONDecodeError as e:
            self.fail(f"{origin}: not JSON ({e}): {line[:200]}", origin)
            return None
        if not compact(line):
            self.fail(f"{origin}: event is not compact: {line[:200]}", origin)
        kind = ev.get("event") if isinstance(ev, dict) else None
        if kind not in EVENT_KINDS:
            self.fail(f"{origin}: unknown event {kind!r}: {line[:200]}", origin)
            return None
        name = f"{kind}.event.schema.json"
        for schema_name in (name, "event.schema.json"):
            for err in self.schemas.validator(schema_name).iter_errors(ev):
                self.fail(f"{origin}: {kind} against {schema_name}: {err.message} "
                          f"at {list(err.absolute_path)}")
        doc = self.schemas.docs[name]
        for err in self.schemas.check_key_order(ev, doc, self.schemas.resolver(doc), kind):
            self.fail(f"{origin}: {err}", origin)
        self.counts[kind] = self.counts.get(kind, 0) + 1
        key = f"event {kind}" if kind != "failed" else f"failed {ev.get('code')}: {ev.get('message')}"
        self.examples.setdefault(key, ev)
        if kind == "progress":
            p = ev["payload"]
            self.examples.setdefault(f"progress {p['stage']} {p['message']}", ev)
        return ev


def settings(width=2048, **changes):
    lens = {"centerX": 0.0, "centerY": 0.0, "radiusScale": 1.0, "yawDegrees": 0.0,
            "rollDegrees": 0.0}
    s = {"presetId": "dji-avata360", "presetVersion": 2,
         "renderProfileId": "dji-avata360-natural-v1", "outputWidth": width,
         "fovDegrees": 190.0, "seamFeatherDegrees": 3.0, "up": dict(lens), "down": dict(lens),
         "sphere": {"yawDegrees": 0.0, "pitchDegrees": -2.8, "rollDegrees": 1.9},
         "autoAlign": True, "exposureMatch": True, "multibandLevels": 4}
    s.update(changes)
    return s


def new_id():
    return str(uuid.uuid4())


def session(up, down, dng_up, dng_down, work):
    """(request or raw line, expected final event, expected code) in order."""
    corrupt = work / "BROKEN_0001_UP.JPG"
    corrupt.write_bytes(b"\xff\xd8\xff\xe0 this is not really a JPEG" * 8)
    bad_dng = work / "BROKEN_0002_DOWN.DNG"
    bad_dng.write_bytes(b"II*\x00" + b"\x00" * 64)
    (work / "a-file").write_text("a file, not a folder\n")
    png = work / "PLAIN_0003_UP.png"
    png.write_bytes(b"\x89PNG\r\n\x1a\n")

    def req(action, **fields):
        r = {"action": action, "protocol_version": 3, "request_id": new_id()}
        if action in ("render_preview", "start_export"):
            r["job_id"] = new_id()
        r.update(fields)
        return r

    def export(u, d, destination, fmt, **over):
        return req("start_export", up_path=u, down_path=d, settings=settings(**over),
                   export={"destination": destination, "format": fmt, "jpegQuality": 90,
                           "embedMetadata": True, "tiffProfile": "prophoto"})

    preview = req("render_preview", up_path=up, down_path=down,
                  destination="previews/preview.jpg", settings=settings(),
                  defer_display_render=False)
    old = req("start_export", up_path=up, down_path=down, settings=settings(),
              export={"destination": "old.jpg", "format": "jpg", "jpegQuality": 90,
                      "embedMetadata": True, "tiffProfile": "prophoto"})
    old["protocol_version"] = 2
    return [
        (req("get_capabilities"), "capabilities", None),
        (req("inspect_pair", up_path=up, down_path=down), "pair_inspected", None),
        (req("inspect_pair", up_path=dng_up, down_path=dng_down), "pair_inspected", None),
        (req("inspect_pair", up_path=dng_down, down_path=up), "pair_inspected", None),
        (preview, "preview_ready", None),
        (export(up, down, "out/panorama.jpg", "jpg"), "export_complete", None),
        (export(up, down, "out/panorama.png", "png"), "export_complete", None),
        (export(up, down, "out/panorama.tif", "tiff"), "export_complete", None),
        (export(dng_up, dng_down, "out/panorama.dng", "dng"), "export_complete", None),
        (dict(req("get_capabilities"), protocol_version=2), "failed", "protocol_error"),
        (old, "failed", "protocol_error"),
        ("{\"action\": \"get_capabilities\", ", "failed", "protocol_error"),
        (req("inspect_pair", up_path="MISSING_0001_UP.JPG", down_path=down), "failed",
         "io_error"),
        (req("inspect_pair", up_path=str(corrupt.name), down_path=down), "failed",
         "unsupported_format"),
        (req("inspect_pair", up_path=str(png.name), down_path=down), "failed",
         "unsupported_format"),
        (req("render_preview", up_path=up, down_path=down, destination="p.jpg",
             settings=settings(width=1000)), "failed", "invalid_settings"),
        (export(up, down, "out/not.dng", "dng"), "failed", "invalid_settings"),
        (req("render_preview", up_path=up, down_path=down, destination="a-file/p.jpg",
             settings=settings()), "failed", "io_error"),
        (export(dng_up, str(bad_dng.name), "out/broken.jpg", "jpg"), "failed",
         "dng_decode_failed"),
        (export(str(corrupt.name), down, "out/broken.jpg", "jpg"), "failed",
         "unsupported_format"),
        (export(up, down, "a-file/panorama.jpg", "jpg"), "failed", "io_error"),
    ]


def run_worker_session(args, checker, work, pairs):
    up, down, dng_up, dng_down = pairs
    steps = session(up, down, dng_up, dng_down, work)
    lines = []
    for item, _, _ in steps:
        if isinstance(item, dict):
            checker.request(item, "worker session")
            lines.append(json.dumps(item, separators=(",", ":")))
        else:
            lines.append(item)
    proc = subprocess.run([args.worker], input="\n".join(lines) + "\n", cwd=work,
                          capture_output=True, text=True, timeout=900)
    if proc.returncode != 0:
        checker.fail(f"the worker exited with {proc.returncode}")
    events = []
    for n, line in enumerate(proc.stdout.splitlines()):
        ev = checker.event_line(line, f"worker event {n + 1}")
        if ev is not None:
            events.append(ev)

    # Every request has its answer, in order, and progress belongs to a job.
    finals = [e for e in events if e["event"] != "progress"]
    if len(finals) != len(steps):
        checker.fail(f"{len(steps)} requests got {len(finals)} final events")
    for (item, want_kind, want_code), ev in zip(steps, finals):
        rid = item["request_id"] if isinstance(item, dict) else NIL
        what = item["action"] if isinstance(item, dict) else "unreadable line"
        if ev["request_id"] != rid:
            checker.fail(f"{what}: answered for request {ev['request_id']}, expected {rid}")
        if ev["event"] != want_kind or (want_code and ev.get("code") != want_code):
            checker.fail(f"{what}: got {ev['event']} {ev.get('code', '')} "
                         f"({ev.get('message', '')}), expected {want_kind} {want_code or ''}")
        if ev["event"] == "failed":
            want_job = item.get("job_id") if isinstance(item, dict) else None
            if ev["job_id"] != want_job:
                checker.fail(f"{what}: failed with job_id {ev['job_id']}, expected {want_job}")
    jobs = {s[0]["job_id"]: s[0]["request_id"] for s in steps
            if isinstance(s[0], dict) and "job_id" in s[0]}
    for ev in events:
        if ev["event"] == "progress" and jobs.get(ev["payload"]["jobId"]) != ev["request_id"]:
            checker.fail(f"progress for job {ev['payload']['jobId']} under the wrong request")
    for name in ("panorama.jpg", "panorama.png", "panorama.tif", "panorama.dng"):
        if not (work / "out" / name).is_file():
            checker.fail(f"export out/{name} is missing")
    if not (work / "previews" / "preview.jpg").is_file():
        checker.fail("the preview is missing")


def run_front_end(args, checker, work, pairs):
    """The stitch command is a client too: its exchange must match the schemas."""
    up, down, _, _ = pairs
    logs = []
    for n, command in enumerate([
        ["--capabilities"],
        [up, down, "-o", "cli/panorama.jpg", "--preview", "cli/preview.jpg"],
        [up, "MISSING_0009_DOWN.JPG", "-o", "cli/never.jpg"],
    ]):
        log = work / f"cli-{n}.log"
        proc = subprocess.run([args.stitch, *command, "--protocol-log", str(log)], cwd=work,
                              capture_output=True, text=True, timeout=600)
        if proc.returncode not in (0, 1, 2):
            checker.fail(f"stitch {' '.join(command)} exited with {proc.returncode}: {proc.stderr}")
        if log.exists():
            logs.append(log)
    for log in logs:
        for n, line in enumerate(log.read_text().splitlines()):
            if line.startswith("> "):
                checker.request(json.loads(line[2:]), f"{log.name} line {n + 1}")
            elif line.startswith("< "):
                checker.event_line(line[2:], f"{log.name} line {n + 1}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", required=True)
    parser.add_argument("--sample-maker", required=True)
    parser.add_argument("--scene", required=True)
    parser.add_argument("--schemas", required=True)
    parser.add_argument("--stitch")
    parser.add_argument("--examples")
    parser.add_argument("--size", type=int, default=256,
                        help="fisheye size of the test pair in pixels")
    args = parser.parse_args()
    for name in ("worker", "sample_maker", "scene", "schemas", "stitch"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    checker = Checker(Schemas(args.schemas))
    with tempfile.TemporaryDirectory(prefix="stitch-schema-") as tmp:
        work = Path(tmp)
        for fmt in ("jpg", "dng"):
            subprocess.run([args.sample_maker, "--scene", args.scene, "-o", str(work),
                            "--format", fmt, "--size", str(args.size)], check=True,
                           capture_output=True)
        stem = "DJI_20260101120000_0001"
        pairs = (f"{stem}_UP.JPG", f"{stem}_DOWN.JPG", f"{stem}_UP.DNG", f"{stem}_DOWN.DNG")
        run_worker_session(args, checker, work, pairs)
        if args.stitch:
            run_front_end(args, checker, work, pairs)

    for kind in EVENT_KINDS:
        if not checker.counts.get(kind):
            checker.fail(f"no {kind} event was seen")
    if args.examples:
        Path(args.examples).write_text(json.dumps(checker.examples, indent=1) + "\n")
    for text in checker.failures:
        print("FAIL:", text)
    total = sum(checker.counts.values())
    print(f"checked {total} events ({', '.join(f'{k} {v}' for k, v in checker.counts.items())})")
    failed = len(checker.failed_items)
    print(f"{max(checker.items - failed, 0)} passed, {failed} failed")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())

"""A user with CPython 3.14 installs the module with pip, from the source
or from a wheel built by tools/wheel (./dev wheel).

Both builds share one CMake tree, kept under the build tree between runs:
the first build compiles the module, every later one only what changed."""

import gzip
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
needs_cmake = pytest.mark.skipif(shutil.which("cmake") is None, reason="pip builds the module with CMake")
ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}  # not the build tree's copy


@pytest.fixture(scope="module")
def build_cache(tmp_path_factory):
    """Where the builds copy the source and keep their CMake tree (see
    tools/wheel): the build tree's, when run through ./dev."""
    if "MENDSEQS_BUILD" in os.environ:
        cache = Path(os.environ["MENDSEQS_BUILD"]) / "install-test"
        cache.mkdir(exist_ok=True)
        return cache
    return tmp_path_factory.mktemp("install-test")


def install(tmp_path, what, *options):
    """A fresh virtual environment with `what` pip-installed; its python."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--quiet", *options, str(what)],
        check=True,
        env=ENV,
        cwd=tmp_path,
    )
    return python


def check_installed(python, tmp_path):
    """One call of the installed module, which lies in the environment with its stub."""
    run = subprocess.run(
        [
            python,
            "-c",
            "import mendseqs; print(mendseqs.__file__, flush=True); "
            "print(mendseqs.correct_seq_mt(['ACGT'], ['ACGA'], 1, 1))",
        ],
        capture_output=True,
        text=True,
        check=True,
        env=ENV,
        cwd=tmp_path,
    )
    installed_at, _, result = run.stdout.partition("\n")
    assert installed_at.startswith(str(python.parent.parent)), installed_at
    assert result.endswith("['ACGT']\n")
    assert (Path(installed_at).parent / "mendseqs.pyi").is_file()
    # The command comes with it, as a console script of the environment.
    data = ROOT / "examples" / "data"
    run = subprocess.run(
        [
            python.parent / "mendseqs",
            "correct",
            data / "references.txt",
            data / "queries.fasta",
            "-o",
            "out.tsv.gz",
            "--quiet",
        ],
        capture_output=True,
        text=True,
        env=ENV,
        cwd=tmp_path,
    )
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert len(gzip.decompress((tmp_path / "out.tsv.gz").read_bytes()).splitlines()) == 2000
    # And tag, on simulated raw reads in FASTQ.gz.
    sys.path.insert(0, str(ROOT / "bench"))
    import simulate_reads
    import tag_bench

    whitelist, reads = tmp_path / "whitelist.txt", tmp_path / "reads.fq.gz"
    whitelist.write_text("\n".join(tag_bench.random_whitelist(2000, 5)) + "\n")
    simulate_reads.main(
        [str(whitelist), "-n", "200", "-o", str(reads), "--truth", str(tmp_path / "truth.tsv"), "--cells", "20"]
    )
    run = subprocess.run(
        [
            python.parent / "mendseqs", "tag", reads, "--whitelist", whitelist, "--layout", "10x3v3",
            "-o", "tagged.fq.gz", "--table", "reads.tsv.gz", "--quiet",
        ],
        capture_output=True, text=True, env=ENV, cwd=tmp_path,
    )  # fmt: skip
    assert run.returncode == 0 and run.stderr == "", run.stderr
    statuses = [
        line.split("\t")[-2]
        for line in gzip.decompress((tmp_path / "reads.tsv.gz").read_bytes()).decode().splitlines()[1:]
    ]
    assert statuses.count("assigned") > 100, statuses


# Under emulation a build of the module takes minutes: there, the wheel test
# below is the one build, from the same source by the same pip backend.
@needs_cmake
@pytest.mark.skipif(os.uname().machine.startswith("arm"), reason="the wheel test builds the module once on armhf")
def test_pip_install_builds_an_importable_module(tmp_path, build_cache):
    # The source is copied so that the build cannot write into the checkout;
    # with the files' times, as tools/wheel copies it.
    source = build_cache / "source"
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(ROOT, source, ignore=shutil.ignore_patterns(".git", "*.so"))
    python = install(tmp_path, source, f"--config-settings=build-dir={build_cache / 'build'}")
    check_installed(python, tmp_path)


@needs_cmake
def test_wheel_installs_and_its_stub_types_user_code(tmp_path, build_cache):
    built = subprocess.run(
        [ROOT / "tools" / "wheel", tmp_path / "wheels"],
        capture_output=True,
        text=True,
        env={**ENV, "MENDSEQS_WHEEL_CACHE": str(build_cache)},
    )
    assert built.returncode == 0, built.stderr
    wheel = Path(built.stdout.splitlines()[-1])
    assert wheel.parent == tmp_path / "wheels" and wheel.name.startswith("mendseqs-0.1.0-cp314-cp314-linux_")
    python = install(tmp_path, wheel)
    check_installed(python, tmp_path)
    if importlib.util.find_spec("mypy") is None:
        return  # mypy is in the amd64 root only
    # A user's strictly typed code checks against the installed stub alone.
    (tmp_path / "user.py").write_text(
        "import mendseqs\nfixed: list[str] = mendseqs.correct_seq_mt(['ACGT'], ('ACGA',), 1, 2)\n"
    )
    run = subprocess.run(
        [python, "-m", "mypy", "--strict", "--cache-dir", os.devnull, "user.py"],
        capture_output=True,
        text=True,
        env=ENV,
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout

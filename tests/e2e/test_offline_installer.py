"""PatchKur.exe --unattended installs the shipped 2384 patch into a 2369 client.

The offline layout (ORVEX/Patch with PatchKur.exe and 2384.manifest, .sig,
.zip; PATCH_KUR.cmd) comes from the publisher's make-offline, copied into the
client the way a player extracts Patch.zip.
"""
import shutil
import subprocess

import pytest

import sample_client
from fixtures import append_only
from harness import LAUNCHER_EXE, read_ini_value, wine_environment

SUCCESS = "ORVEX yamasi kuruldu. Simdi Launcher.exe ile oyunu acabilirsiniz."
LOCATION = "Patch.zip dosyasini mevcut ORVEX 2369 client klasorune cikarin, sonra PATCH_KUR.cmd dosyasini acin."
LOG_NAME = "kurulum-sonucu.log"
# The old settings differ from what the installer writes, so that its writes show.
OLD_SETTINGS = ("[Version]\r\nFiles=2369\r\n[Server]\r\nCount=2\r\nIP0=192.0.2.7\r\nIP1=192.0.2.8\r\n"
                "[ORVEX_UPDATE]\r\nBaseURL=https://192.0.2.9/old-patch/\r\n")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return sample_client.build(tmp_path_factory.mktemp("sample"), launcher=LAUNCHER_EXE)


def client_with_patch(sample, folder, middle="ORVEX", patch="Patch"):
    """A 2369 client into which Patch.zip was extracted (folder names as given)."""
    client = sample.make_client(folder, LAUNCHER_EXE)
    (client / "Server.ini").write_text(OLD_SETTINGS, newline="")
    shutil.copytree(sample.offline / "ORVEX" / "Patch", client / middle / patch)
    shutil.copy2(sample.offline / "PATCH_KUR.cmd", client / "PATCH_KUR.cmd")
    return client


def run_installer(patch_folder):
    """Runs PatchKur.exe --unattended; returns (exit code, message-box trace)."""
    env = wine_environment("-all,trace+msgbox")
    result = subprocess.run(["wine", str(patch_folder / "PatchKur.exe"), "--unattended"], cwd=patch_folder, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=90)
    boxes = [line for line in result.stderr.decode(errors="replace").splitlines() if "msgbox" in line]
    return result.returncode, boxes


def run_installer_expecting_success(patch_folder):
    """run_installer, which must end 0 without a message box; otherwise the
    failure names what the installer's log says."""
    outcome = run_installer(patch_folder)
    log = patch_folder / LOG_NAME
    assert outcome == (0, []), log.read_text(errors="replace") if log.exists() else "no log written"


def client_files(client):
    """Digests of the client's own files: the extracted package and the log left out."""
    return {path: digest for path, digest in sample_client.file_digests(client, skip=("Server.ini", "Launcher.exe",
                                                                                      "PATCH_KUR.cmd")).items()
            if not path.lower().startswith("orvex/patch/")}


def assert_installed(sample, client, patch_folder):
    assert (patch_folder / LOG_NAME).read_bytes() == SUCCESS.encode("ascii") + b"\r\n"
    assert client_files(client) == sample_client.file_digests(sample.trees[2384])
    ini = client / "Server.ini"
    assert read_ini_value(ini, "Version", "Files") == "2384"
    assert read_ini_value(ini, "Server", "Count") == "1"
    assert read_ini_value(ini, "Server", "IP0") == "127.0.0.1"
    assert read_ini_value(ini, "ORVEX_UPDATE", "BaseURL") == "https://127.0.0.1:5444/orvex-patch/"
    assert not (client / ".orvex-update" / "current").exists()


class TestInstallsThePatch:
    def test_unattended_run_installs_2384_and_writes_the_settings(self, sample, tmp_path):
        client = client_with_patch(sample, tmp_path / "client")
        patch_folder = client / "ORVEX" / "Patch"
        assert client_files(client) == sample_client.file_digests(sample.trees[2369])
        code, boxes = run_installer(patch_folder)
        assert (code, boxes) == (0, [])
        assert_installed(sample, client, patch_folder)

    def test_second_run_reinstalls_over_itself_and_the_log_keeps_one_line(self, sample, tmp_path):
        client = client_with_patch(sample, tmp_path / "client")
        patch_folder = client / "ORVEX" / "Patch"
        run_installer_expecting_success(patch_folder)
        run_installer_expecting_success(patch_folder)
        assert_installed(sample, client, patch_folder)

    def test_folder_names_differing_only_in_case_are_accepted(self, sample, tmp_path):
        client = client_with_patch(sample, tmp_path / "client", middle="orvex", patch="PATCH")
        patch_folder = client / "orvex" / "PATCH"
        run_installer_expecting_success(patch_folder)
        assert_installed(sample, client, patch_folder)


def test_failed_install_is_rolled_back_and_reported_in_the_log(sample, tmp_path):
    # ui/ui.src is the last file the patch replaces, and nothing in its folder
    # can be replaced: the install fails after the journal, with the files
    # before it replaced and added, and the rollback undoes them.
    client = client_with_patch(sample, tmp_path / "client")
    patch_folder = client / "ORVEX" / "Patch"
    assert (patch_folder / "2384.manifest").read_text().splitlines()[-1].endswith("\tui/ui.src")
    before = sample_client.file_digests(client, skip=())
    with append_only(client / "ui"):
        assert run_installer(patch_folder) == (1, [])
    assert (patch_folder / LOG_NAME).read_bytes() == b"Cannot replace client file; close the game and retry.\r\n"
    assert sample_client.file_digests(client, skip=(f"ORVEX/Patch/{LOG_NAME}",)) == before
    assert not (client / ".orvex-update" / "current").exists()


def installer_in_client_folder(sample, folder):
    """PatchKur.exe and the patch files extracted straight into the client folder."""
    client = sample.make_client(folder, LAUNCHER_EXE)
    for item in (sample.offline / "ORVEX" / "Patch").iterdir():
        shutil.copy2(item, client / item.name)
    return client, client


def client_without_data(sample, folder):
    client = client_with_patch(sample, folder)
    shutil.rmtree(client / "Data")
    return client, client / "ORVEX" / "Patch"


def game_executable_is_a_folder(sample, folder):
    client = client_with_patch(sample, folder)
    (client / "Vantrell.exe").unlink()
    (client / "Vantrell.exe").mkdir()
    return client, client / "ORVEX" / "Patch"


def middle_folder_misnamed(sample, folder):
    client = client_with_patch(sample, folder, middle="ORVEX2")
    return client, client / "ORVEX2" / "Patch"


class TestWrongLocationChangesNothing:
    @pytest.mark.parametrize("layout", [installer_in_client_folder, client_without_data,
                                        game_executable_is_a_folder, middle_folder_misnamed],
                             ids=["directly-in-client-folder", "client-without-Data", "Vantrell.exe-is-a-folder",
                                  "middle-folder-not-ORVEX"])
    def test_location_message_and_exit_1(self, sample, tmp_path, layout):
        client, patch_folder = layout(sample, tmp_path / "client")
        before = sample_client.file_digests(client, skip=())
        assert run_installer(patch_folder) == (1, [])
        assert (patch_folder / LOG_NAME).read_bytes() == LOCATION.encode("ascii") + b"\r\n"
        assert sample_client.file_digests(client, skip=(LOG_NAME, f"ORVEX/Patch/{LOG_NAME}",
                                                        f"ORVEX2/Patch/{LOG_NAME}")) == before
        assert not (client / ".orvex-update").exists()


class TestClientFolderWithTurkishLetters:
    """The installer named the patch archive to the archive layer in UTF-8,
    which the narrow file calls read in the ANSI code page: "Cannot open patch
    archive." in any client folder with a letter outside ASCII."""

    def test_installs_in_a_client_folder_with_non_ascii_letters(self, sample, tmp_path):
        client = client_with_patch(sample, tmp_path / "Oyunlar" / "ORVEX Çöl")
        patch_folder = client / "ORVEX" / "Patch"
        run_installer_expecting_success(patch_folder)
        assert_installed(sample, client, patch_folder)

    def test_installs_in_a_client_folder_with_turkish_letters_on_turkish_windows(self, sample, tmp_path, monkeypatch,
                                                                              turkish_code_page):
        for name, value in turkish_code_page.items():
            monkeypatch.setenv(name, value)
        client = client_with_patch(sample, tmp_path / "Oyunlar" / "ORVEX Çalışma Ğİş")
        patch_folder = client / "ORVEX" / "Patch"
        run_installer_expecting_success(patch_folder)
        assert_installed(sample, client, patch_folder)

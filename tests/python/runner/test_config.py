"""The run's configuration: the TOML file read into the records, and bad
input (unknown keys, missing files, model factories that fail or return
the wrong objects) refused with one message naming the key or the file,
exit status 2 at the command line, nothing written."""
import re
import subprocess
import sys
import textwrap

import pytest

import mirelo_utils as mu
from mirelo_utils.__main__ import main
from .cases import EXAMPLES, scene, write_case

FACTORIES = textwrap.dedent('''
    """Model factories that return what a run cannot use."""


    class Thing:
        def __call__(self, *args, **kwargs):
            return None

        def post_process_grounded_object_detection(self, *args, **kwargs):
            return []

        def set_image(self, image):
            pass

        def predict(self, **kwargs):
            return None

        def init_state(self, **kwargs):
            return {}

        def add_new_mask(self, *args, **kwargs):
            return None

        def propagate_in_video(self, state):
            return iter(())


    def no_video_predictor():
        return {"processor": Thing(), "grounding_model": Thing(), "image_predictor": Thing()}


    def no_reset():
        return {"processor": Thing(), "grounding_model": Thing(), "image_predictor": Thing(),
                "video_predictor": Thing()}


    def failing(size=1):
        raise FileNotFoundError(f"no checkpoint of size {size}")


    not_callable = 3
''')


@pytest.fixture(scope="module")
def case(tmp_path_factory):
    """A recording, its pen file, a valid configuration, and the factories."""
    folder = tmp_path_factory.mktemp("config_case")
    write_case(folder, scene())
    (folder / "bad_factories.py").write_text(FACTORIES)
    (folder / "table.csv").write_text("Video Name,File Path,Date\nx,x.mp4,20240115\n")
    (folder / "missing.csv").write_text(
        "Camera Number,Date,Time,File Path,Video Name\n64,20240115,06:30:00,nowhere.mp4,nowhere\n")
    (folder / "not_a_pen.json").write_text("{\"shapes\": [")
    return folder


def edit(case, tmp_path, replace=(), append=""):
    """The valid configuration with texts replaced and lines added, written
    in tmp_path (the case's files by their absolute paths)."""
    text = (case / "track.toml").read_text()
    text = text.replace('"recordings"', f'"{case}/recordings"').replace('"pen_polygon.json"',
                                                                         f'"{case}/pen_polygon.json"')
    for old, new in replace:
        assert old in text, old
        text = text.replace(old, new)
    path = tmp_path / "track.toml"
    path.write_text(text + append)
    return path


@pytest.mark.parametrize("replace, append, message", [
    ((("output", "outptu"),), "", "unknown key 'outptu'"),
    ((), "[windows]\nlenght = 2\n", None),  # a table given twice is not TOML
    ((("resize_height", "resize_hieght"),), "", "unknown key windows.resize_hieght"),
    ((('[pen]\nfile = ', '[pen]\nfiles = '),), "", "unknown key pen.files"),
    ((("[models]", "[modles]"),), "", "unknown key 'modles'"),
    ((("min_count = 0", "min_count = -1"),), "", "hand_over: expected a number >= 0 for min_count"),
    ((("min_count = 0", "pen_animals = 3"),), "", "unknown key hand_over.pen_animals"),
    ((("minutes = ", "minutes = -"),), "", "windows.minutes: expected a number above 0"),
    ((("resize_height = 240", 'resize_height = "240"'),), "", "windows.resize_height: expected a whole number"),
    ((("step = 1", "step = 0"),), "", "initialisation.step: expected a whole number >= 1"),
    ((), "[checks]\nappearance = 1\n", "checks.appearance: expected true or false"),
    ((), "[refinement]\nmax_distance_ratios = [0.5]\n", "refinement.max_distance_ratios: expected two numbers"),
    ((('"stand_in_models:make_models"', '"stand_in_models"'),), "", 'models.factory: expected "module:function"'),
    ((), "[pen]\nanimals = 0\n", None),
])
def test_bad_keys_and_values_are_named(case, tmp_path, replace, append, message):
    path = edit(case, tmp_path, replace, append)
    with pytest.raises(mu.ConfigError) as e:
        mu.load_config(path)
    assert str(path) in str(e.value)
    if message is not None:
        assert message in str(e.value)


def test_missing_tables_and_keys(case, tmp_path):
    path = tmp_path / "track.toml"
    path.write_text('output = "x"\n[recordings]\nfolder = "r"\n[pen]\nfile = "p"\n')
    with pytest.raises(mu.ConfigError, match=r"missing table \[models\]"):
        mu.load_config(path)
    path.write_text('output = "x"\n[recordings]\nfolder = "r"\n[pen]\nanimals = 3\n[models]\nfactory = "a:b"\n')
    with pytest.raises(mu.ConfigError, match="missing key pen.file"):
        mu.load_config(path)
    path.write_text('[recordings]\nfolder = "r"\n')
    with pytest.raises(mu.ConfigError, match="missing key 'output'"):
        mu.load_config(path)
    path.write_text('output = "x"\n[recordings]\nfolder = "r"\nvideo_table = "t.csv"\n')
    with pytest.raises(mu.ConfigError, match="either recordings.folder or recordings.video_table"):
        mu.load_config(path)
    with pytest.raises(mu.ConfigError, match="cannot read the configuration file"):
        mu.load_config(tmp_path / "absent.toml")
    path.write_text("output = \n")
    with pytest.raises(mu.ConfigError, match="not a valid TOML file"):
        mu.load_config(path)


def test_the_file_gives_the_records_with_paths_from_its_folder(case):
    config = mu.load_config(case / "track.toml")
    assert config.output == str(case / "tracking") and config.pen.file == str(case / "pen_polygon.json")
    assert config.recordings.folder == str(case / "recordings") and config.models.paths == (str(EXAMPLES),)
    assert config.hand_over == mu.HandOverSettings(min_frame_id=10, area_threshold=100, min_count=0)
    assert config.windows.resize_height == 240 and config.initialisation.step == 1
    assert config.expected_animals == 10 and config.source == str(case / "track.toml")
    # The pen's animals are the hand-over's.
    five = mu.RunConfig(output="o", recordings=config.recordings, pen=mu.PenSettings("p", animals=5),
                        models=config.models)
    assert five.hand_over.pen_animals == 5 and five.expected_animals == 5
    with pytest.raises(mu.ConfigError, match="pen.animals: expected a whole number >= 1"):
        mu.PenSettings("p", animals=0)


@pytest.mark.parametrize("replace, append, message", [
    ((('"pen_polygon.json"', '"absent.json"'),), "", "pen.file: no such file"),
    ((('"pen_polygon.json"', '"not_a_pen.json"'),), "", "is not a pen file"),
    ((('folder = "recordings"', 'folder = "nowhere"'),), "", "recordings.folder: no such folder"),
    ((('folder = "recordings"', 'folder = "."'),), "", "no recording to track"),
    ((('folder = "recordings"', 'video_table = "absent.csv"'),), "", "recordings.video_table: no such file"),
    ((('folder = "recordings"', 'video_table = "table.csv"'),), "", "has no column 'Camera Number'"),
    ((('folder = "recordings"', 'video_table = "missing.csv"'),), "", "no such recording file"),
    ((('"stand_in_models:make_models"', '"no_such_module:make"'),), "", "cannot import 'no_such_module'"),
    ((('"stand_in_models:make_models"', '"bad_factories:absent"'),), "", "has no function 'absent'"),
    ((('"stand_in_models:make_models"', '"bad_factories:not_callable"'),), "", "has no function 'not_callable'"),
    ((('"stand_in_models:make_models"', '"bad_factories:failing"'),), "",
     "bad_factories:failing failed: FileNotFoundError: no checkpoint of size 1"),
    ((('"stand_in_models:make_models"', '"bad_factories:no_video_predictor"'),), "",
     "returned a dict without video_predictor"),
    ((('"stand_in_models:make_models"', '"bad_factories:no_reset"'),), "",
     "the video_predictor that bad_factories:no_reset returned (Thing) has no reset_state"),
    ((('"stand_in_models:make_models"', '"bad_factories:failing"\noptions = {weight = 2}'),), "",
     "failing failed: TypeError"),
])
def test_bad_input_names_the_key_or_file_and_writes_nothing(case, tmp_path, capsys, replace, append, message):
    text = (case / "track.toml").read_text()
    for old, new in replace:
        text = text.replace(old, new)
    text = text.replace(f'paths = ["{EXAMPLES}"]', f'paths = ["{EXAMPLES}", "{case}"]')
    folder = tmp_path / "run"
    folder.mkdir()
    for name in ("recordings", "pen_polygon.json", "not_a_pen.json", "table.csv", "missing.csv"):
        (folder / name).symlink_to(case / name)
    path = folder / "track.toml"
    path.write_text(text + append)
    with pytest.raises(mu.ConfigError, match=re.escape(message)):
        mu.track_recordings(path, progress=False)
    assert main(["track", str(path)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("python -m mirelo_utils track: error: ") and message in err
    assert not (folder / "tracking").exists()


def test_the_command_line_exits_2_on_bad_input(case, tmp_path):
    path = edit(case, tmp_path, (("minutes = ", "minutes = -"),))
    done = subprocess.run([sys.executable, "-m", "mirelo_utils", "track", str(path)], capture_output=True, text=True)
    assert done.returncode == 2 and done.stdout == ""
    assert "windows.minutes: expected a number above 0" in done.stderr and done.stderr.count("\n") == 1
    done = subprocess.run([sys.executable, "-m", "mirelo_utils", "track", str(path), "--restart", "--from-window",
                           "2"], capture_output=True, text=True)
    assert done.returncode == 2 and "not allowed with argument" in done.stderr
    assert not (tmp_path / "tracking").exists()


@pytest.mark.parametrize("kwargs, message", [
    ({"restart": True, "from_window": 2}, "exclude each other"),
    ({"from_window": 0}, "expected a window number >= 1, got 0"),
    ({"from_window": True}, "expected a window number >= 1, got True"),
])
def test_bad_restart_requests(case, kwargs, message):
    with pytest.raises(mu.ConfigError, match=message):
        mu.track_recordings(case / "track.toml", progress=False, **kwargs)


def test_config_that_is_no_path_or_record():
    with pytest.raises(TypeError, match="expected a RunConfig or the path"):
        mu.track_recordings(3)

// Browser::handle_mouse: the wheel and left clicks in the middle area, on the
// open list overlay or on the column under the pointer as the last frame
// placed it.
#include "app/browse/browser.hpp"
#include "app/browse/columns.hpp"
#include "app/cursor.hpp"

namespace bramwex::app {

namespace {

bool is_wheel(const term::MouseEvent& mouse) {
    return mouse.kind == term::MouseKind::WheelUp || mouse.kind == term::MouseKind::WheelDown;
}

// The wheel as the cursor key it stands for, one row at a time.
size_t wheel_move(const term::MouseEvent& mouse, size_t current, size_t count) {
    const term::KeyEvent key{
        mouse.kind == term::MouseKind::WheelUp ? term::Key::Up : term::Key::Down, {}};
    return *move_cursor(key, current, count, 1);
}

}  // namespace

void Browser::handle_mouse(const term::MouseEvent& mouse, WallClock::time_point now) {
    const bool press =
        mouse.kind == term::MouseKind::Press && mouse.button == term::MouseButton::Left;
    if (!(press || is_wheel(mouse)) || !tree || !geometry.contains(mouse.column, mouse.row)) {
        return;
    }
    status.reset();
    if (!overlay_mouse(mouse)) {
        column_mouse(mouse, now);
    }
}

bool Browser::overlay_mouse(const term::MouseEvent& mouse) {
    const size_t line = mouse.row - geometry.y;
    if (unreadable_shown) {
        if (is_wheel(mouse)) {
            unreadable_index = wheel_move(mouse, unreadable_index, unreadable.size());
        }
    } else if (largest_shown) {
        const size_t count = largest_count();
        if (is_wheel(mouse)) {
            largest_selected = wheel_move(mouse, largest_selected, count);
        } else if (line + largest_scroll < count) {
            largest_selected = line + largest_scroll;
        }
    } else if (picks_shown) {
        if (is_wheel(mouse)) {
            picks_selected = wheel_move(mouse, picks_selected, picks.size());
        } else if (line != 0 && line + picks_scroll - 1 < picks.size()) {
            picks_selected = line + picks_scroll - 1;
        }
    } else {
        return false;
    }
    return true;
}

void Browser::column_mouse(const term::MouseEvent& mouse, WallClock::time_point now) {
    std::optional<ColumnPlace> place;
    for (const ColumnPlace& each : column_layout(*this)) {
        if (each.area.contains(mouse.column, mouse.row)) {
            place = each;
        }
    }
    if (!place) {
        return;
    }
    // Drawing loads the ancestors' rows; a key since the last frame may have
    // moved the path.
    if (place->kind == ColumnKind::Ancestor && place->levels < stack.size()) {
        load_rows(stack[stack.size() - 1 - place->levels]);
    } else if (place->kind == ColumnKind::Preview && selected < rows.size() &&
               rows[selected].is_folder()) {
        load_rows(rows[selected].folder());
    }
    const auto view = column_rows(*this, place->kind, place->levels, place->area.height);
    if (!view) {
        return;
    }
    const size_t count = view->rows->size();
    if (is_wheel(mouse)) {
        if (place->kind == ColumnKind::Ancestor && place->levels == 1) {
            parent_scroll = wheel_move(mouse, view->offset, count);
        } else if (place->kind == ColumnKind::Current) {
            select_row(wheel_move(mouse, selected, rows.size()));
        } else if (place->kind == ColumnKind::Preview) {
            // Kept within reach so that turning back moves at once.
            const size_t h = place->area.height;
            const size_t most = count > h ? count - h : 0;
            preview_scroll = mouse.kind == term::MouseKind::WheelUp
                                 ? (view->offset == 0 ? 0 : view->offset - 1)
                                 : std::min(view->offset + 1, most);
        }
        refresh();
        return;
    }
    const size_t index = view->offset + (mouse.row - place->area.y);
    if (index >= count) {
        return;
    }
    if (is_double_click(click, now, place->area.x, mouse.row)) {
        go_into();
        refresh();
        return;
    }
    std::string name(row_name(view->folder, (*view->rows)[index]));
    if (place->kind == ColumnKind::Ancestor) {
        go_up_levels(place->levels);
    } else if (place->kind == ColumnKind::Preview) {
        go_into();
    }
    select_name = std::move(name);
    preview_scroll = 0;
    refresh();
}

}  // namespace bramwex::app
